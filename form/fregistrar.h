#pragma once

#include "exchange/http_transfer.h"

#include <QDialog>
#include <QList>
#include <QSslCertificate>
#include <QString>
#include <QStringList>
#include <chrono>

class QLabel;
class QLineEdit;
class QNetworkAccessManager;
class QPushButton;

namespace parlonda {

struct FregistrarSettings
{
    QString serverUrl; // base address of the registration service
    // Where the profile is written: the first of these directories that
    // takes it (the program's own, then the user's data directory for it).
    QStringList profileDirectories = {};
    std::chrono::milliseconds transferTimeout = HttpTransfer::kDefaultTimeout;
    // Trusted for https besides the system's certificate authorities.
    QList<QSslCertificate> caCertificates = {};
};

// The program's one window: eight boxes built from the field table, and the
// register and cancel commands.
class Fregistrar : public QDialog
{
    Q_OBJECT

public:
    // The program's exit status when the account was registered but its
    // profile could not be saved.
    static constexpr int kProfileNotSaved = 1;

    explicit Fregistrar(FregistrarSettings settings, QWidget *parent = nullptr);
    ~Fregistrar() override;

    // `Ok` index 0 registers, index 1 unloads the form; any other index does nothing.
    void Ok_Click(int Index);

    QLineEdit *box(int index) const { return txt.value(index); }
    QLabel *label(int index) const { return Say.value(index); }
    QPushButton *button(int index) const { return Ok.value(index); }
    const QString &serverUrl() const { return ServerUrl; }
    const QString &reply() const { return Reply; }
    const QString &replyReady() const { return ReplyReady; }
    bool isWaiting() const { return m_waiting; }
    // Zero unless the form was unloaded after a failure the user was told of.
    int exitStatus() const { return m_exitStatus; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    enum class WaitEnd { Reply, TransferFailed, Unloaded };

    void buildControls();
    void Form_Load();
    void txt_KeyPress(int Index, QChar &KeyAscii);
    void txt_LostFocus(int Index);
    void Perl_StateChanged(qint16 State);
    void registerCommand();
    void submit(const QStringList &texts);
    WaitEnd waitForReply();
    void unload(int status);
    QString typedText(int index, QStringView typed);
    QStringList boxTexts() const;
    QStringList boxTags() const;

    FregistrarSettings m_settings;
    QList<QLineEdit *> txt;
    QList<QLabel *> Say;
    QList<QPushButton *> Ok;
    QNetworkAccessManager *m_network = nullptr;
    HttpTransfer *Perl = nullptr; // the form's transfer control

    QString ServerUrl;
    QString Reply;
    QString ReplyReady;

    bool m_waiting = false;
    bool m_transferFailed = false;
    bool m_unloading = false;
    int m_exitStatus = 0;
};

} // namespace parlonda
