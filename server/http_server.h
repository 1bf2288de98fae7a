#pragma once

#include <httplib.h>

namespace parlonda {

// httplib's server with a listening queue worth the name. httplib 0.11
// listens with a backlog of 5, so a burst of sign-ups beyond that sees SYNs
// dropped and, now and then, a connection closed without an answer.
class HttpServer : public httplib::Server
{
public:
    // After binding: on Linux, listen() on a listening socket sets its backlog
    // anew. False when that fails; the server still works with httplib's.
    bool widenBacklog();
};

} // namespace parlonda
