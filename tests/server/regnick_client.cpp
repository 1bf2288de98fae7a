#include "tests/server/regnick_client.h"

#include <QByteArrayList>
#include <httplib.h>

namespace parlonda::test {

Answer send(const QString &baseUrl, const QByteArray &method, const QByteArray &path,
            const QByteArray &contentType, const QByteArray &body)
{
    httplib::Client client(baseUrl.toStdString());
    client.set_read_timeout(30);
    httplib::Request request;
    request.method = method.toStdString();
    request.path = path.toStdString();
    request.body = body.toStdString();
    if (!contentType.isEmpty())
        request.set_header("Content-Type", contentType.toStdString());
    const httplib::Result result = client.send(request);
    Answer answer;
    if (result) {
        answer.status = result->status;
        answer.body = QByteArray::fromStdString(result->body);
        answer.allow = QByteArray::fromStdString(result->get_header_value("Allow"));
        answer.retryAfter = QByteArray::fromStdString(result->get_header_value("Retry-After"));
    }
    return answer;
}

Answer post(const QString &baseUrl, const QByteArray &body)
{
    return send(baseUrl, "POST", kRegnickPath, kFormType, body);
}

Fields clientFields(const QByteArray &nick)
{
    return {{"nick", nick},      {"nombres", "Ana+Mar%EDa"}, {"email", "ana%40example.org"},
            {"tel", "555-0142"}, {"ciudad", "Quito"},        {"pais", "Ecuador"},
            {"paswd", "clave-7"}};
}

QByteArray join(const Fields &fields)
{
    QByteArrayList pairs;
    for (const auto &[key, value] : fields)
        pairs << key + '=' + value;
    return pairs.join('&');
}

QByteArray form(const QByteArray &nick)
{
    return join(clientFields(nick));
}

QByteArray formWith(const QByteArray &nick, const QByteArray &key, const QByteArray &value)
{
    Fields fields = clientFields(nick);
    for (auto &field : fields) {
        if (field.first == key)
            field.second = value;
    }
    return join(fields);
}

QByteArray lastLine(const QByteArray &text)
{
    return text.trimmed().split('\n').last();
}

QByteArray lastOutcome(const QByteArray &log)
{
    const QList<QByteArray> words = lastLine(log).split(' ');
    return words.size() >= 2 ? words[words.size() - 2] + ' ' + words.last() : QByteArray();
}

} // namespace parlonda::test
