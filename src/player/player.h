#pragma once
// One player port: the object behind a port number. The application object builds all of them
// once and reuses them for the life of the process.

#include <atomic>
#include <cstdint>

class IPlayerHost;

class CPlayer {
public:
    enum Status : int32_t {
        STATUS_NONE = 0,
        STATUS_STREAM = 1,
        STATUS_FILE = 2,
    };

    CPlayer(uint32_t port, IPlayerHost& host);
    virtual ~CPlayer();
    CPlayer(const CPlayer&) = delete;
    CPlayer& operator=(const CPlayer&) = delete;

    uint32_t GetPortNumber() const { return m_port; }
    bool IsInUse() const { return m_inUse.load(std::memory_order_acquire); }
    int32_t GetStatus() const { return m_status.load(std::memory_order_acquire); }

    // allocate true: only marks the port in use (the caller holds the port-table lock).
    // allocate false: frees the port: stops and closes whatever it holds and forgets the host's
    // per-port settings; the frame-number check survives.
    void ResetPort(bool allocate);

    virtual bool IsPlaying();

    // Frame-number continuity check of the port's decoding; on for a new port.
    void SetCheckFrameNum(bool enable) { m_checkFrameNum.store(enable, std::memory_order_release); }
    bool GetCheckFrameNum() const { return m_checkFrameNum.load(std::memory_order_acquire); }

protected:
    IPlayerHost& Host() const { return m_host; }

private:
    const uint32_t m_port;  // set once at construction, handed to callbacks as u16
    IPlayerHost& m_host;    // the owner; outlives the port
    // The port has no lock of its own: these are single words, written by the host thread that
    // allocates, opens or frees the port and read by any thread.
    std::atomic<bool> m_inUse{false};
    std::atomic<int32_t> m_status{STATUS_NONE};
    std::atomic<bool> m_checkFrameNum{true};
};
