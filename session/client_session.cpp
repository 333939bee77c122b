#include "session/client_session.h"

#include <new>

CClientSession::~CClientSession() {
    // Detach before the members go: a callback in progress is waited for.
    if (GetLink()) Disconnect(TL_NET_CLOSE_DETACH);
}

corvane::CTLNetNotify* CClientSession::CreateNotify() { return new (std::nothrow) CClientSession; }
