#include "server/accounts/new_password.h"

#include "common/cp1252.h"
#include "server/signup/registration_form.h"

#include <QString>
#include <QStringDecoder>
#include <cstdio>
#include <iostream>
#include <sodium.h>
#include <termios.h>
#include <unistd.h>

namespace parlonda {
namespace {

// One line, without its end ("\n" or "\r\n"); false at the end of input.
bool readLine(std::FILE *from, std::string &line)
{
    line.clear();
    int c = 0;
    while ((c = std::fgetc(from)) != EOF && c != '\n')
        line += static_cast<char>(c);
    if (c == EOF && line.empty())
        return false;
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return true;
}

// Typed at the terminal with echo off; the terminal as it was after.
bool prompt(const std::string &text, std::string &line)
{
    std::cerr << text << std::flush;
    termios before{};
    const bool terminal = ::tcgetattr(STDIN_FILENO, &before) == 0;
    termios quiet = before;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    if (terminal)
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    const bool read = readLine(stdin, line);
    if (terminal)
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &before);
    std::cerr << '\n';
    return read;
}

void wipe(std::string &text)
{
    sodium_memzero(text.data(), text.size());
}

} // namespace

std::string passwordProblem(const std::string &password)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decoder.decode(QByteArrayView(password));
    if (decoder.hasError())
        return "the password is not UTF-8";
    if (text.isEmpty())
        return "the password is empty";
    if (text.size() > kMaxFieldCharacters)
        return "the password is over " + std::to_string(kMaxFieldCharacters) + " characters";
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (u < 0x20 || (u >= 0x7F && u <= 0x9F))
            return "the password holds a control character";
        if (!cp1252::canEncode(c))
            return "the password holds a character the sign-up form cannot carry (not in "
                   "Windows-1252)";
    }
    return {};
}

std::optional<std::string> readNewPassword(const std::string &nick)
{
    std::string password;
    if (::isatty(STDIN_FILENO)) {
        std::string again;
        const bool typed = prompt("New password for " + nick + ": ", password) &&
                           prompt("The same again: ", again);
        const bool same = typed && password == again;
        wipe(again);
        if (!same) {
            wipe(password);
            std::cerr << "parlonda-regnick: the two passwords differ; nothing changed\n";
            return std::nullopt;
        }
    } else if (!readLine(stdin, password)) {
        std::cerr << "parlonda-regnick: no password on standard input; nothing changed\n";
        return std::nullopt;
    }
    if (const std::string problem = passwordProblem(password); !problem.empty()) {
        wipe(password);
        std::cerr << "parlonda-regnick: " << problem << "; nothing changed\n";
        return std::nullopt;
    }
    return password;
}

} // namespace parlonda
