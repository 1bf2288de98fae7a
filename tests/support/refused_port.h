#pragma once

#include <QString>

namespace parlonda::test {

// A port on 127.0.0.1 where every connection is refused, for as long as this
// object lives: its socket is bound there but never listens, so no other
// server can take the port meanwhile.
class RefusedPort
{
public:
    RefusedPort();
    ~RefusedPort();
    RefusedPort(const RefusedPort &) = delete;
    RefusedPort &operator=(const RefusedPort &) = delete;

    int port() const { return m_port; }
    // "http://127.0.0.1:PORT"
    QString baseUrl() const;

private:
    int m_socket = -1;
    int m_port = 0;
};

} // namespace parlonda::test
