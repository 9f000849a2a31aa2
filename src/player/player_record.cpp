// Local recording of everything a port receives, and clip export from the port's open file.
//
// The recording is independent of opens and closes: it runs from a successful start to the
// stop, and InputData feeds it only while the recording flag is up. A close lowers the flag and
// leaves the file open, to be finished by the stop (or the port's destruction).

#include "base/hlock.h"
#include "base/hlog.h"
#include "media/hmfformat.h"
#include "player/player.h"

namespace {
constexpr const char* kSource = "player";
constexpr const char* kModule = "quorixsdk";
}  // namespace

uint32_t CPlayer::StartLocalRecord(const char* path) {
    BRIXEL::CHAutoLock lock(m_writer.GetLock());
    if (m_writer.IsOpen())
        return QUORIX_E_STATE;
    // Creating the recording truncates its file: onto the file the port plays, by any name, it
    // would destroy the source while it is read.
    if (GetStatus() == STATUS_FILE && m_reader.IsOpenFile(path)) {
        HLOG(kSource, kModule, BRIXEL::HLOG_ERROR, "CPlayer::StartLocalRecord",
             "record into %s refused: it is the file the port plays", path);
        return QUORIX_E_OPEN_FILE;
    }
    m_writer.SetFormatTag(BRIXEL::kHMFFormatTag);
    m_writer.SetRenderModel(static_cast<int8_t>(m_renderModel.load()));
    const auto length = [](const BRIXEL::CHBuffer& block) {
        return static_cast<uint32_t>(block.GetLength());
    };
    const uint32_t created = m_writer.Create(path, m_openInfo.GetData(), length(m_openInfo),
                                             m_renderParams.GetData(), length(m_renderParams));
    if (created != QUORIX_OK)
        return created;
    m_recording.store(true);
    return QUORIX_OK;
}

uint32_t CPlayer::StopLocalRecord() {
    m_recording.store(false);
    BRIXEL::CHAutoLock lock(m_writer.GetLock());
    if (!m_writer.IsOpen())
        return QUORIX_OK;
    // Records the port took but the file does not hold make the recording differ from what
    // was played: the host is told, not handed a file that silently lacks them.
    const uint32_t lost = m_writer.GetLostRecords();
    const uint32_t closed = m_writer.Close();
    if (lost == 0 && closed == QUORIX_OK)
        return QUORIX_OK;
    HLOG(kSource, kModule, BRIXEL::HLOG_ERROR, "CPlayer::StopLocalRecord",
         "recording ended with %u records lost%s", lost,
         closed == QUORIX_OK ? "" : ", its index not written");
    return QUORIX_E_WRITE_FILE;
}

uint32_t CPlayer::FilmEditing(const char* path, uint32_t begin, uint32_t end, bool byTime,
                              bool withAudio) {
    if (GetStatus() != STATUS_FILE)
        return QUORIX_E_STATE;
    return m_reader.FilmEditing(path, begin, end, byTime, withAudio);
}
