#include "server/systemd.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <streambuf>
#include <string_view>
#include <sys/stat.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

namespace parlonda {
namespace {

// Passes everything on, with `prefix` before each line.
class PrefixedLines : public std::streambuf
{
public:
    PrefixedLines(std::streambuf *to, std::string_view prefix) : m_to(to), m_prefix(prefix) {}

protected:
    int overflow(int c) override
    {
        if (c == traits_type::eof())
            return traits_type::not_eof(c);
        const char one = traits_type::to_char_type(c);
        return xsputn(&one, 1) == 1 ? c : traits_type::eof();
    }
    std::streamsize xsputn(const char *text, std::streamsize count) override
    {
        const std::string_view all(text, static_cast<std::size_t>(count));
        std::size_t done = 0;
        while (done < all.size()) {
            if (m_lineStart && m_to->sputn(m_prefix.data(), std::streamsize(m_prefix.size())) !=
                                   std::streamsize(m_prefix.size()))
                break;
            const std::size_t end = std::min(all.find('\n', done), all.size() - 1) + 1;
            const auto piece = std::streamsize(end - done);
            if (m_to->sputn(all.data() + done, piece) != piece)
                break;
            m_lineStart = all[end - 1] == '\n';
            done = end;
        }
        return std::streamsize(done);
    }
    int sync() override { return m_to->pubsync(); }

private:
    std::streambuf *m_to;
    std::string_view m_prefix;
    bool m_lineStart = true;
};

} // namespace

std::vector<int> socketsFromSystemd()
{
    std::vector<int> fds;
    const int count = sd_listen_fds(1);
    for (int i = 0; i < count; ++i)
        fds.push_back(SD_LISTEN_FDS_START + i);
    return fds;
}

void tellSystemd(const std::string &state)
{
    sd_notify(0, state.c_str());
}

void cerrLinesAreErrors()
{
    if (!goesToJournal(STDERR_FILENO))
        return;
    // journald's prefix for an error. Never destroyed: std::cerr is
    // flushed after every static object is gone.
    static auto *const errors = new PrefixedLines(std::cerr.rdbuf(), "<3>");
    std::cerr.rdbuf(errors);
}

bool goesToJournal(int fd)
{
    const char *stream = std::getenv("JOURNAL_STREAM");
    unsigned long long device = 0;
    unsigned long long inode = 0;
    struct stat status
    {
    };
    return stream && std::sscanf(stream, "%llu:%llu", &device, &inode) == 2 &&
           ::fstat(fd, &status) == 0 && status.st_dev == device && status.st_ino == inode;
}

} // namespace parlonda
