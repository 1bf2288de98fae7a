#include "server/http_server.h"

#include <sys/socket.h>

namespace parlonda {

bool HttpServer::widenBacklog()
{
    return ::listen(svr_sock_, SOMAXCONN) == 0;
}

} // namespace parlonda
