#pragma once

#include <QString>

namespace parlonda::test {

// A port on 127.0.0.1 where every connection is refused, for as long as this
// object lives: its socket is bound there but never listens, so no other
// server can take the port meanwhile. Silent: no answer at all, as from a
// machine that is off; its socket listens with no room in its queue, which
// one connection held here fills, so the kernel drops every attempt after.
class RefusedPort
{
public:
    enum class Kind { Refused, Silent };
    explicit RefusedPort(Kind kind = Kind::Refused);
    ~RefusedPort();
    RefusedPort(const RefusedPort &) = delete;
    RefusedPort &operator=(const RefusedPort &) = delete;

    int port() const { return m_port; }
    // "http://127.0.0.1:PORT"
    QString baseUrl() const;

private:
    int m_socket = -1;
    int m_held = -1;
    int m_port = 0;
};

} // namespace parlonda::test
