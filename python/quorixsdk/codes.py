"""Result codes of the library: their numbers, names and sentences.

The same names and sentences as QUORIX_ResultName and QUORIX_ResultText of quorixsdk_codes.h.
"""

OK = 0x00000000
E_NOT_SUPPORTED = 0x80008001
E_NO_MEMORY = 0x80008002
E_BUFFER = 0x80008003
E_EXCEPTION = 0x80008004
E_NOT_IMPL = 0x80008005
E_NOT_OPEN = 0x80008006
E_TIMEOUT = 0x80008007
E_PARAM = 0x80008008
E_OPEN_FILE = 0x80008009
E_WRITE_FILE = 0x8000800A
E_END_OF_DATA = 0x80008010
E_NOT_WRITING = 0x80008011
E_BUFFER_TOO_SMALL = 0x80008012
E_NOT_INIT = 0x80008015
E_ALREADY_INIT = 0x80008016
E_SYSTEM = 0x80008017
E_ALREADY_OPEN = 0x80008018
E_THREAD_RUNNING = 0x8000801A
E_THREAD_CREATE = 0x8000801B
E_THREAD_FAULT = 0x8000801C
E_THREAD_NOT_RUNNING = 0x8000801D
E_THREAD_KILLED = 0x8000801E
E_NO_POOL = 0x80008020
E_QUEUE_FULL = 0x80008100
E_NO_FREE_PORT = 0x80008101
E_PORT_BUSY = 0x80008102
E_STATE = 0x80008103
E_FILE_FORMAT = 0x80008104
E_FAIL = 0xFFFFFFFF

# number -> (name, sentence)
_TABLE = {
    OK: ("QUORIX_OK", "The call succeeded."),
    E_NOT_SUPPORTED: (
        "QUORIX_E_NOT_SUPPORTED",
        "The operation is not supported here: the renderer, its context or the encoder "
        "cannot do it.",
    ),
    E_NO_MEMORY: ("QUORIX_E_NO_MEMORY", "Memory for the operation could not be had."),
    E_BUFFER: ("QUORIX_E_BUFFER", "A buffer of the library is not usable."),
    E_EXCEPTION: (
        "QUORIX_E_EXCEPTION",
        "An unexpected failure inside the library stopped the call part of the way.",
    ),
    E_NOT_IMPL: (
        "QUORIX_E_NOT_IMPL",
        "Not available with the port's current renderer, or not in this build of the "
        "library.",
    ),
    E_NOT_OPEN: (
        "QUORIX_E_NOT_OPEN",
        "The port is not playing (or the object the call needs is not open).",
    ),
    E_TIMEOUT: (
        "QUORIX_E_TIMEOUT",
        "The renderer did not answer in time (no picture drawn yet, or busy).",
    ),
    E_PARAM: (
        "QUORIX_E_PARAM",
        "A parameter is not valid: a number out of range, a null pointer, or a port not "
        "in use.",
    ),
    E_OPEN_FILE: ("QUORIX_E_OPEN_FILE", "The file cannot be opened or created."),
    E_WRITE_FILE: ("QUORIX_E_WRITE_FILE", "The file cannot be written whole."),
    E_END_OF_DATA: ("QUORIX_E_END_OF_DATA", "The data ended before what was asked for."),
    E_NOT_WRITING: ("QUORIX_E_NOT_WRITING", "Nothing is being written."),
    E_BUFFER_TOO_SMALL: (
        "QUORIX_E_BUFFER_TOO_SMALL",
        "The caller's buffer is too small; the length needed was written back.",
    ),
    E_NOT_INIT: (
        "QUORIX_E_NOT_INIT",
        "The library is not initialised: call QUORIX_InitSDK first.",
    ),
    E_ALREADY_INIT: ("QUORIX_E_ALREADY_INIT", "Already initialised."),
    E_SYSTEM: ("QUORIX_E_SYSTEM", "The system or a library below refused a service."),
    E_ALREADY_OPEN: ("QUORIX_E_ALREADY_OPEN", "Something is already open."),
    E_THREAD_RUNNING: ("QUORIX_E_THREAD_RUNNING", "The port is already playing."),
    E_THREAD_CREATE: (
        "QUORIX_E_THREAD_CREATE",
        "The system refused a thread; nothing stayed started.",
    ),
    E_THREAD_FAULT: ("QUORIX_E_THREAD_FAULT", "A thread of the library failed."),
    E_THREAD_NOT_RUNNING: (
        "QUORIX_E_THREAD_NOT_RUNNING",
        "The thread the operation needs is not running.",
    ),
    E_THREAD_KILLED: ("QUORIX_E_THREAD_KILLED", "A thread of the library was stopped by force."),
    E_NO_POOL: ("QUORIX_E_NO_POOL", "A pool of the library is not ready."),
    E_QUEUE_FULL: ("QUORIX_E_QUEUE_FULL", "The stream's queue is full; the frame was dropped."),
    E_NO_FREE_PORT: ("QUORIX_E_NO_FREE_PORT", "All ports are in use."),
    E_PORT_BUSY: ("QUORIX_E_PORT_BUSY", "A file or stream is already open on the port."),
    E_STATE: (
        "QUORIX_E_STATE",
        "The port is not in a state that allows the call (nothing open, no renderer or no"
        " picture source).",
    ),
    E_FILE_FORMAT: ("QUORIX_E_FILE_FORMAT", "The data is not in a format the library reads."),
    E_FAIL: ("QUORIX_E_FAIL", "The operation failed."),
}



def name(code):
    """The code's name as the C header spells it, "QUORIX_E_UNKNOWN" for another number."""
    return _TABLE.get(code & 0xFFFFFFFF, ("QUORIX_E_UNKNOWN", ""))[0]


def text(code):
    """One sentence saying what the code means in general."""
    entry = _TABLE.get(code & 0xFFFFFFFF)
    return entry[1] if entry else "Not a result code of this library."


def all_codes():
    """Every result code, in the order of the header."""
    return list(_TABLE)
