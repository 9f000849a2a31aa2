#include "media/haudiostream.h"

#include <cxxabi.h>

#include <cinttypes>
#include <cstdio>

#include "base/hclock.h"

namespace BRIXEL {

CHAudioStream::CHAudioStream(CHPlayer* owner, uint16_t streamId)
    : m_owner(owner), m_streamId(streamId) {
    char name[48];
    std::snprintf(name, sizeof(name), "CHAudioStream_%" PRIxPTR, reinterpret_cast<uintptr_t>(this));
    SetThreadName(name);
}

CHAudioStream::~CHAudioStream() {
    // Destructors cannot pass exceptions on; the engine destroys every stream whatever one
    // of them raises. Nor a cancellation: a destroying thread cancelled while it waits for the
    // stream's worker would unwind out of a destructor, which ends the process.
    CHCancelGuard noCancel;
    try {
        Shutdown();
    } catch (...) {
    }
}

void CHAudioStream::Shutdown() {
    if (IsRunning())
        Stop();
    FlushEncoded();
    if (m_decoder) {
        HDecoderHandle decoder = m_decoder;
        m_decoder = nullptr;
        m_owner->StopDecoder(decoder);
    }
}

H_PASSES_CANCEL
uint32_t CHAudioStream::OnThreadLoop(uint64_t) {
    try {
        DecodeOne();
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        // A decoder that throws loses its record, not the stream.
    }
    HSleep(kRestMs);
    return 0;
}

uint32_t CHAudioStream::InputFrame(const uint8_t* data, uint32_t length) {
    CHKZFrame* frame = m_owner->AllocEncodedFrame();
    if (!frame)
        return QUORIX_E_NO_MEMORY;
    uint32_t parsed = QUORIX_E_EXCEPTION;
    try {
        parsed = m_owner->ParseFrame(data, length, frame);
    } catch (...) {
        m_owner->ReleaseEncodedFrame(frame);  // the record goes back before the error travels on
        throw;
    }
    if (parsed != QUORIX_OK) {
        m_owner->ReleaseEncodedFrame(frame);
        return parsed;
    }
    // Audio is never trimmed: a full queue refuses the newest record.
    if (m_encoded.GetCount() >= CHPlayer::kAudioQueueLimit) {
        m_owner->ReleaseEncodedFrame(frame);
        return QUORIX_E_QUEUE_FULL;
    }
    const uint32_t put = m_encoded.Put(frame);
    if (put == QUORIX_E_NO_POOL)
        m_owner->ReleaseEncodedFrame(frame);
    return put;
}

void CHAudioStream::DecodeOne() {
    CHKZFrame* frame = m_encoded.Get();
    if (!frame)
        return;
    CHEncodedFrameReturn giveBack(m_owner, frame);  // every path below hands the record back
    if (!m_decoder || frame->header.codec != m_codecId) {
        // Audio needs no key frame: a new codec gets a new decoder at once.
        if (m_decoder) {
            m_owner->StopDecoder(m_decoder);
            m_decoder = nullptr;
        }
        m_codecId = 0;
        m_decoder = m_owner->StartDecoder(frame->header.codec);
        if (!m_decoder) {
            return;
        }
        m_codecId = frame->header.codec;
    }
    uint8_t* pcm = nullptr;
    uint32_t pcmLength = 0;
    const uint32_t decoded =
        m_owner->DecodeAudio(m_decoder, frame->payload.GetData(),
                             static_cast<uint32_t>(frame->payload.GetLength()), pcm, pcmLength);
    if (decoded == QUORIX_OK && pcm && pcmLength) {
        m_owner->OnAudioFrame(m_streamId, frame->header.Channels(), frame->header.BitsPerSample(),
                              frame->header.SampleRate(), pcm, pcmLength);
    }
}

void CHAudioStream::FlushEncoded() {
    while (CHKZFrame* frame = m_encoded.Get())
        m_owner->ReleaseEncodedFrame(frame);
}

}  // namespace BRIXEL
