#include "fregistrar.h"

#include "form/field_table.h"
#include "form/input_filters.h"
#include "form/parlonda_icon.h"

#include <QCloseEvent>
#include <QFocusEvent>
#include <QFontDatabase>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QNetworkAccessManager>
#include <QPushButton>
#include <QValidator>
#include <algorithm>

namespace parlonda {
namespace {

// Takes out of every change (typing, paste, drop, input method) the
// characters the box refuses, and what would not fit in it, silently.
class RefusedCharacters : public QValidator
{
public:
    RefusedCharacters(const Field &field, QObject *parent) : QValidator(parent), m_field(field) {}

    State validate(QString &input, int &pos) const override
    {
        qsizetype cursor = pos;
        input = acceptedText(m_field, input, &cursor);
        pos = static_cast<int>(cursor);
        return Acceptable;
    }

private:
    const Field &m_field;
};

QFont formFont()
{
    // The form was drawn for "MS Sans Serif"; where it is missing, a sans
    // serif of similar width keeps the captions inside their labels. The
    // family is chosen once, here: given the whole list, Qt would look for
    // every missing family again for each font the form uses.
    const QString families[] = {
        QStringLiteral("MS Sans Serif"), QStringLiteral("Microsoft Sans Serif"),
        QStringLiteral("Liberation Sans"), QStringLiteral("Arial"), QStringLiteral("DejaVu Sans")};
    const QStringList installed = QFontDatabase::families();
    QFont font;
    for (const QString &family : families) {
        if (installed.contains(family)) {
            font.setFamily(family);
            break;
        }
    }
    font.setPointSizeF(8.25);
    return font;
}

} // namespace

Fregistrar::Fregistrar(FregistrarSettings settings, QWidget *parent)
    : QDialog(parent), m_settings(std::move(settings))
{
    buildControls();
    m_network = new QNetworkAccessManager(this);
    Perl = new HttpTransfer(m_network, this);
    Perl->setTimeout(m_settings.transferTimeout);
    Perl->setCaCertificates(m_settings.caCertificates);
    connect(Perl, &HttpTransfer::StateChanged, this, &Fregistrar::Perl_StateChanged);
    Form_Load();
}

Fregistrar::~Fregistrar() = default;

void Fregistrar::buildControls()
{
    setWindowTitle(QString::fromUtf16(kCaption));
    setWindowIcon(parlondaIcon());
    setFont(formFont());
    setFixedSize(kClientArea.toPixels().size());
    // A fixed-size window: it can be moved, minimised and closed, not maximised.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);

    QFont bold = font();
    bold.setWeight(QFont::Bold);

    for (const Field &field : kFields) {
        auto *box = new QLineEdit(this);
        box->setGeometry(field.box.toPixels());
        box->setProperty("Tag", QString::fromUtf16(field.tag));
        box->setAccessibleName(field.accessibleName());
        box->setValidator(new RefusedCharacters(field, box));
        if (field.mask) {
            box->setEchoMode(QLineEdit::Password);
            box->setStyleSheet(
                QStringLiteral("lineedit-password-character: %1").arg(int(field.mask)));
        }
        box->installEventFilter(this);
        txt.append(box);
    }
    for (const Button &spec : kButtons) {
        auto *button = new QPushButton(QString::fromUtf16(spec.caption), this);
        button->setGeometry(spec.geometry.toPixels());
        // Neither button answers Enter in a box or Escape.
        button->setAutoDefault(false);
        button->setDefault(false);
        const int index = int(Ok.size());
        connect(button, &QPushButton::clicked, this, [this, index] { Ok_Click(index); });
        button->installEventFilter(this);
        Ok.append(button);
    }
    for (const Field &field : kFields) {
        auto *label = new QLabel(QString::fromUtf16(field.caption), this);
        label->setGeometry(field.label.toPixels());
        label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        label->setWordWrap(true);
        label->setBuddy(txt[field.index]);
        if (field.required())
            label->setFont(bold);
        Say.append(label);
    }

    for (qsizetype i = 1; i < txt.size(); ++i)
        setTabOrder(txt[i - 1], txt[i]);
    setTabOrder(txt.last(), Ok[0]);
    setTabOrder(Ok[0], Ok[1]);
    txt[0]->setFocus();
}

void Fregistrar::Form_Load()
{
    ServerUrl = m_settings.serverUrl;
}

void Fregistrar::Ok_Click(int Index)
{
    switch (Index) {
    case 0:
        registerCommand();
        break;
    case 1:
        unload(0);
        break;
    default:
        break;
    }
}

void Fregistrar::txt_KeyPress(int Index, QChar &KeyAscii)
{
    KeyAscii = typedCharacter(kFields[Index], KeyAscii);
}

void Fregistrar::txt_LostFocus(int Index)
{
    if (Index == kEmailBox && !emailKeepsText(txt[Index]->text()))
        txt[Index]->setText(QString());
}

QString Fregistrar::typedText(int index, QStringView typed)
{
    QString inserted;
    inserted.reserve(typed.size());
    for (QChar c : typed) {
        txt_KeyPress(index, c);
        inserted.append(c);
    }
    return inserted;
}

bool Fregistrar::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::Shortcut) {
        // An access key moves the focus to its button before pressing it, as
        // a click does, so the box being left gets its focus-loss check first.
        if (auto *button = qobject_cast<QPushButton *>(watched); button && Ok.contains(button))
            button->setFocus(Qt::ShortcutFocusReason);
        return QDialog::eventFilter(watched, event);
    }
    const int index = int(txt.indexOf(qobject_cast<QLineEdit *>(watched)));
    if (index < 0)
        return QDialog::eventFilter(watched, event);

    switch (event->type()) {
    case QEvent::KeyPress: {
        // Only plain typing: shortcuts (Ctrl+V...) and editing keys go on as usual.
        auto *key = static_cast<QKeyEvent *>(event);
        const QString typed = key->text();
        if (typed.isEmpty() || (key->modifiers() & (Qt::ControlModifier | Qt::MetaModifier)))
            break;
        if (!std::all_of(typed.begin(), typed.end(), [](QChar c) { return c.isPrint(); }))
            break;
        const QString inserted = typedText(index, typed);
        if (inserted == typed)
            break;
        txt[index]->insert(inserted);
        return true;
    }
    case QEvent::InputMethod: {
        // Dead keys and compose sequences arrive as an input method commit:
        // they are typed characters too.
        auto *im = static_cast<QInputMethodEvent *>(event);
        if (!im->commitString().isEmpty()) {
            im->setCommitString(typedText(index, im->commitString()), im->replacementStart(),
                                im->replacementLength());
        }
        break;
    }
    case QEvent::FocusOut: {
        // Only a move to another control of this window counts as leaving the
        // box: not switching windows, a message box, or the box's own menu.
        const Qt::FocusReason reason = static_cast<QFocusEvent *>(event)->reason();
        if (reason != Qt::ActiveWindowFocusReason && reason != Qt::PopupFocusReason)
            txt_LostFocus(index);
        break;
    }
    default:
        break;
    }
    return QDialog::eventFilter(watched, event);
}

void Fregistrar::keyPressEvent(QKeyEvent *event)
{
    switch (event->key()) {
    case Qt::Key_Escape:
        // There is no cancel button: Escape does not close the form.
        event->accept();
        return;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        // There is no default button: Enter in a box does nothing, while a
        // focused button is pressed by Enter as by Space.
        if (auto *button = qobject_cast<QPushButton *>(focusWidget()); button && button->hasFocus())
            button->click();
        event->accept();
        return;
    default:
        QDialog::keyPressEvent(event);
    }
}

void Fregistrar::closeEvent(QCloseEvent *event)
{
    // The close box unloads the form like "&Cancelar"; a registration being
    // waited for is abandoned, and nothing is written.
    m_unloading = true;
    Perl->Cancel();
    QDialog::closeEvent(event);
}

void Fregistrar::unload(int status)
{
    m_exitStatus = status;
    m_unloading = true;
    Perl->Cancel();
    close();
}

QStringList Fregistrar::boxTexts() const
{
    QStringList texts;
    for (const QLineEdit *box : txt)
        texts.append(box->text());
    return texts;
}

QStringList Fregistrar::boxTags() const
{
    QStringList tags;
    for (const QLineEdit *box : txt)
        tags.append(box->property("Tag").toString());
    return tags;
}

} // namespace parlonda

// Compiled here rather than in a file of its own, which would read the Qt
// headers once more.
#include "moc_fregistrar.cpp"
