#include "form/messages.h"

#include <QDir>

namespace parlonda::messages {

QString forCheck(CheckResult result)
{
    switch (result) {
    case CheckResult::PasswordsDiffer:
        return QStringLiteral("Los password no coinciden");
    case CheckResult::RequiredEmpty:
        return QStringLiteral(
            "Debe llenar todos los campos cuyos nombres se encuentren en negrita");
    case CheckResult::Passed:
        break;
    }
    return {};
}

QString nickTaken(const QString &nick)
{
    return QStringLiteral("El nick ") + nick + QStringLiteral(" Ya está en uso eliga otro");
}

QString registered()
{
    return QStringLiteral(
        "Fue registrado Satisfactoriamente en el servidor, Gracias Por su preferencia");
}

QString profileNotSaved(const QString &path)
{
    return QStringLiteral("Fue registrado en el servidor, pero no se pudo guardar el archivo %1.")
        .arg(QDir::toNativeSeparators(path));
}

QString serverStatus(int status)
{
    return QStringLiteral("El servidor de registro no pudo procesar la solicitud (código %1). "
                          "Intente de nuevo más tarde.")
        .arg(status);
}

QString serverBusy()
{
    return QStringLiteral(
        "El servidor de registro está ocupado. Espere un momento e intente de nuevo.");
}

QString unreachable()
{
    return QStringLiteral("No se pudo comunicar con el servidor de registro. Verifique su "
                          "conexión e intente de nuevo.");
}

QString timedOut()
{
    return QStringLiteral(
        "El servidor de registro no respondió a tiempo. Intente de nuevo más tarde.");
}

QString insecure()
{
    return QStringLiteral("No se pudo establecer una conexión segura con el servidor de "
                          "registro. Intente de nuevo más tarde.");
}

} // namespace parlonda::messages
