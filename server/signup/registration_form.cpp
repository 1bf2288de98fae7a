#include "server/signup/registration_form.h"

#include "common/cp1252.h"
#include "server/http/client_address.h"

#include <QByteArray>
#include <QString>
#include <QStringDecoder>
#include <array>
#include <cstddef>

namespace parlonda {
namespace {

// The fields in the order the client sends them, and their keys.
enum Field : std::size_t { Nick, Names, Email, Phone, City, Country, Password };
constexpr std::array<std::string_view, 7> kKeys = {"nick",   "nombres", "email", "tel",
                                                   "ciudad", "pais",    "paswd"};

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// Form decoding: "+" is a space, "%XX" a byte; false for a broken escape.
bool formDecode(std::string_view in, QByteArray &out)
{
    out.clear();
    out.reserve(static_cast<qsizetype>(in.size()));
    for (std::size_t i = 0; i < in.size(); ++i) {
        if (in[i] == '+') {
            out.append(' ');
        } else if (in[i] == '%') {
            if (i + 2 >= in.size())
                return false;
            const int high = hexValue(in[i + 1]);
            const int low = hexValue(in[i + 2]);
            if (high < 0 || low < 0)
                return false;
            out.append(static_cast<char>(high * 16 + low));
            i += 2;
        } else {
            out.append(in[i]);
        }
    }
    return true;
}

// C0 controls, DEL, and the C1 controls that the five bytes Windows-1252
// leaves undefined decode to. None belongs in a profile line or a log.
bool hasControlCharacter(const QString &text)
{
    for (QChar c : text) {
        const char16_t u = c.unicode();
        if (u < 0x20 || (u >= 0x7F && u <= 0x9F))
            return true;
    }
    return false;
}

std::string toUtf8(const QString &text)
{
    return text.toUtf8().toStdString();
}

std::string fieldProblem(std::string_view what, std::string_view key)
{
    std::string problem(what);
    problem += ": ";
    problem += key;
    return problem;
}

const std::string kFieldTooLong =
    "field over " + std::to_string(kMaxFieldCharacters) + " characters";

} // namespace

RegistrationForm readRegistrationForm(std::string_view body, FormCharset charset)
{
    RegistrationForm form;
    std::array<std::optional<QString>, kKeys.size()> values;
    QByteArray bytes;

    // An empty body holds no pair at all, so every key is missing.
    std::size_t start = 0;
    while (!body.empty() && start <= body.size()) {
        std::size_t end = body.find('&', start);
        if (end == std::string_view::npos)
            end = body.size();
        const std::string_view pair = body.substr(start, end - start);
        start = end + 1;

        const std::size_t equals = pair.find('=');
        if (equals == std::string_view::npos || !formDecode(pair.substr(0, equals), bytes)) {
            form.problem = "malformed form body";
            return form;
        }
        const std::string key = bytes.toStdString();
        std::size_t index = 0;
        while (index < kKeys.size() && kKeys[index] != key)
            ++index;
        if (index == kKeys.size()) {
            form.problem = "unknown field";
            return form;
        }
        if (values[index]) {
            form.problem = fieldProblem("field given twice", kKeys[index]);
            return form;
        }
        if (!formDecode(pair.substr(equals + 1), bytes)) {
            form.problem = fieldProblem("malformed percent escape in field", kKeys[index]);
            return form;
        }
        if (charset == FormCharset::Utf8) {
            QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
            values[index] = utf8.decode(bytes);
            if (utf8.hasError()) {
                form.problem = fieldProblem("not UTF-8 in field", kKeys[index]);
                return form;
            }
        } else {
            values[index] = cp1252::decode(bytes);
        }
        if (index == Nick)
            form.nick = toUtf8(*values[index]);
    }

    for (std::size_t i = 0; i < kKeys.size(); ++i) {
        if (!values[i]) {
            form.problem = fieldProblem("missing field", kKeys[i]);
            break;
        }
    }
    for (std::size_t i = Names; i < kKeys.size() && form.problem.empty(); ++i) {
        const QString &text = *values[i];
        if (text.size() > kMaxFieldCharacters)
            form.problem = fieldProblem(kFieldTooLong, kKeys[i]);
        else if (hasControlCharacter(text))
            form.problem = fieldProblem("control character in field", kKeys[i]);
        // The client keeps the first six fields in a colon-separated line.
        else if (i < Password && text.contains(u':'))
            form.problem = fieldProblem("\":\" in field", kKeys[i]);
        else if (i != Phone && text.isEmpty())
            form.problem = fieldProblem("empty field", kKeys[i]);
        // The dialog wipes an e-mail without one; other clients may not.
        else if (i == Email && !text.contains(u'@'))
            form.problem = fieldProblem("no \"@\" in field", kKeys[i]);
    }
    if (form.problem.empty())
        form.nickProblem = checkNick(*values[Nick]);

    if (form.problem.empty() && form.nickProblem == NickProblem::None) {
        Registration r;
        r.nick = form.nick;
        r.nickKey = nickKey(*values[Nick]);
        r.names = toUtf8(*values[Names]);
        r.email = toUtf8(*values[Email]);
        r.phone = toUtf8(*values[Phone]);
        r.city = toUtf8(*values[City]);
        r.country = toUtf8(*values[Country]);
        r.password = toUtf8(*values[Password]);
        form.registration = std::move(r);
    }
    return form;
}

std::string nickKey(QStringView nick)
{
    return toUtf8(nick.toString().toCaseFolded());
}

namespace {

std::string lowerCase(std::string_view text)
{
    std::string lower(text);
    for (char &c : lower) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return lower;
}

} // namespace

std::optional<FormCharset> formCharset(std::string_view contentType)
{
    std::optional<std::string> named;
    std::size_t semicolon = contentType.find(';');
    while (semicolon != std::string_view::npos) {
        contentType.remove_prefix(semicolon + 1);
        semicolon = contentType.find(';');
        const std::string_view parameter = trimmed(contentType.substr(0, semicolon));
        const std::size_t equals = parameter.find('=');
        if (equals == std::string_view::npos ||
            lowerCase(trimmed(parameter.substr(0, equals))) != "charset")
            continue;
        std::string_view value = trimmed(parameter.substr(equals + 1));
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
            value = value.substr(1, value.size() - 2);
        named = lowerCase(value);
    }
    if (!named || *named == "windows-1252")
        return FormCharset::Windows1252;
    if (*named == "utf-8")
        return FormCharset::Utf8;
    return std::nullopt;
}

bool isFormContentType(std::string_view contentType)
{
    constexpr std::string_view kForm = "application/x-www-form-urlencoded";
    std::string_view type = contentType.substr(0, contentType.find(';'));
    while (!type.empty() && (type.front() == ' ' || type.front() == '\t'))
        type.remove_prefix(1);
    while (!type.empty() && (type.back() == ' ' || type.back() == '\t'))
        type.remove_suffix(1);
    if (type.size() != kForm.size())
        return false;
    for (std::size_t i = 0; i < type.size(); ++i) {
        char c = type[i];
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
        if (c != kForm[i])
            return false;
    }
    return true;
}

} // namespace parlonda
