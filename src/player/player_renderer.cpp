// The port's one renderer: its choice at an open, its hand-over to a close, and the uses that
// keep it alive while host calls on other threads work with it.
//
// A close replaces the renderer with an idle one, waits for the uses under way and destroys it.
// Two closes cannot wait: one on the renderer's own drawing thread (a host callback that closes
// its port) and one inside a use on the same thread (a host callback inside a manual render).
// Those retire the renderer; the next open, close, free or the destructor destroys it from
// another thread.

#include <mutex>

#include "player/player.h"

uint32_t CPlayer::CreateRenderer(const uint8_t* params, uint32_t paramsLen, bool manual) {
    ReapRetiredRenderers();
    const PortRendererRequest request{
        m_renderModel.load(), m_directDraw.load(), params, paramsLen, *this, manual};
    for (const PortRendererChoice& choice : kPortRendererChoices) {
        if (!choice.canCreate(request))
            continue;
        m_panoLibraryInUse.store(choice.usesPanoLibrary);
        std::unique_ptr<IPortRenderer> made;
        const uint32_t created = choice.create(request, made);
        if (created != QUORIX_OK) {
            m_panoLibraryInUse.store(false);
            return created;
        }
        m_portRenderer.store(made.release());
        return QUORIX_OK;
    }
    return QUORIX_E_NOT_SUPPORTED;  // the last choice takes every request
}

uint32_t CPlayer::PrepareManualRenderer() {
    IPortRenderer* current = m_portRenderer.load();
    if (m_rendererStarted || m_directDraw.load() ||
        current->GetKind() != IPortRenderer::Kind::Software)
        return QUORIX_OK;
    // The software display was the default's choice, not the host's. Nothing plays yet (the
    // engine starts after the renderer), so the port changes renderer before it starts.
    const PortRendererRequest request{m_renderModel.load(),
                                      false,
                                      m_renderParams.GetData(),
                                      static_cast<uint32_t>(m_renderParams.GetLength()),
                                      *this,
                                      true};
    std::unique_ptr<IPortRenderer> made;
    const uint32_t created = CreateGlRenderer(request, made);
    if (created != QUORIX_OK)
        return created;
    current->DetachCallbacks();
    IPortRenderer* const leaving = m_portRenderer.exchange(made.release());
    std::unique_ptr<IPortRenderer> owned(leaving);
    if (HoldsRendererUse()) {
        owned->Retire(false);
        std::lock_guard<std::mutex> lock(m_retiredLock);
        m_retired.push_back(std::move(owned));
    } else {
        WaitForRendererUses();
    }
    OnCreateRender();
    return QUORIX_OK;
}

void CPlayer::SetSoftwareMode(bool software) {
    m_directDraw.store(software);
    IPortRenderer* current = m_portRenderer.load();
    if (IsIdle(current))
        m_portRenderer.compare_exchange_strong(current, &IdleRenderer());
}

IPortRenderer& CPlayer::IdleRenderer() const {
    return m_directDraw.load() ? NoSoftRenderer() : NoRenderer();
}

bool CPlayer::IsIdle(const IPortRenderer* renderer) const {
    return renderer == &NoRenderer() || renderer == &NoSoftRenderer();
}

void CPlayer::DestroyRenderer() {
    ReapRetiredRenderers();
    // The host's callbacks leave the renderer first, so none runs while the port shuts down.
    m_portRenderer.load()->DetachCallbacks();
    // Every thread that shows pictures ends before the renderer goes.
    StopPlay();
    // Requests of other host threads still using the renderer end first; later ones find the
    // idle one.
    IPortRenderer* const leaving = m_portRenderer.exchange(&IdleRenderer());
    // A host callback inside a request of this same thread that uses the renderer (a manual
    // render) closes the port: that request goes on with the renderer once the callback
    // returns, so the renderer is retired like one closed from its own drawing thread.
    const bool inOwnUse = HoldsRendererUse();
    const bool onItsThread = leaving->OnDrawingThread();
    if (!inOwnUse && !onItsThread)
        WaitForRendererUses();  // else the renderer is retired and waited for when reaped
    if (!IsIdle(leaving)) {
        std::unique_ptr<IPortRenderer> owned(leaving);
        if (onItsThread || inOwnUse) {
            owned->Retire(onItsThread);
            std::lock_guard<std::mutex> lock(m_retiredLock);
            m_retired.push_back(std::move(owned));
        }
    }
    m_rendererStarted = false;
}

void CPlayer::ReapRetiredRenderers() {
    {
        std::lock_guard<std::mutex> lock(m_retiredLock);
        if (m_retired.empty())
            return;
    }
    // Calls still using a retired renderer end first. A drawing thread of this port must not
    // wait for them (they may wait for a lock it holds around a host callback), nor a thread
    // that is inside such a call itself: they leave the reaping to the next host thread.
    if (OnOwnDrawingThread() || HoldsRendererUse())
        return;
    WaitForRendererUses();
    std::vector<std::unique_ptr<IPortRenderer>> leaving;
    {
        std::lock_guard<std::mutex> lock(m_retiredLock);
        for (auto it = m_retired.begin(); it != m_retired.end();) {
            if ((*it)->OnDrawingThread()) {
                ++it;
                continue;
            }
            leaving.push_back(std::move(*it));
            it = m_retired.erase(it);
        }
    }
    // Destroyed outside the lock: a renderer joins its thread (which ended itself) here.
    leaving.clear();
}

// ---------------------------------------------------------------------------------------------
// Renderer uses

namespace {

// The ports whose renderer this thread uses, innermost last. Uses nest only through host
// callbacks, a few deep at most; a deeper one goes unrecorded (its port is recorded already).
constexpr unsigned kHeldUseRoom = 8;
thread_local const void* t_heldUses[kHeldUseRoom];
thread_local unsigned t_heldUseCount = 0;

}  // namespace

CPlayer::CRendererUse::CRendererUse(CPlayer& player) : m_player(player) {
    // Counted before the pointer is read: a close that replaced it and then finds no use
    // cannot be raced by one that still read the old one.
    m_player.m_rendererUses.fetch_add(1);
    m_renderer = m_player.m_portRenderer.load();
    if (t_heldUseCount < kHeldUseRoom) {
        t_heldUses[t_heldUseCount++] = &m_player;
        m_recorded = true;
    }
}

CPlayer::CRendererUse::~CRendererUse() {
    if (m_recorded)
        --t_heldUseCount;
    if (m_player.m_rendererUses.fetch_sub(1) == 1) {
        std::lock_guard<std::mutex> guard(m_player.m_rendererUseLock);
        m_player.m_rendererUsesDone.notify_all();
    }
}

bool CPlayer::HoldsRendererUse() const {
    for (unsigned i = 0; i < t_heldUseCount; ++i) {
        if (t_heldUses[i] == this)
            return true;
    }
    return false;
}

bool CPlayer::OnOwnDrawingThread() const {
    if (m_portRenderer.load()->OnDrawingThread())
        return true;
    std::lock_guard<std::mutex> lock(m_retiredLock);
    for (const auto& retired : m_retired) {
        if (retired->OnDrawingThread())
            return true;
    }
    return false;
}

void CPlayer::WaitForRendererUses() {
    // Uses are bounded (a capture or a projection waits at most its time limit for the
    // drawing thread, which has stopped by now).
    std::unique_lock<std::mutex> lock(m_rendererUseLock);
    m_rendererUsesDone.wait(lock, [this] { return m_rendererUses.load() == 0; });
}
