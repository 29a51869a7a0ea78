#include "ui/Aboutform.h"

#include "app/StartupRules.h"
#include "ui/Fonts.h"

#include <QApplication>
#include <QDesktopServices>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPixmap>
#include <QUrl>
#include <QUrlQuery>

namespace {

// The version the About box shows.
constexpr const char* APPLICATION_VERSION = "02.06";

constexpr int MAIL_PICTURE_SIZE = 33;
constexpr int FOCUS_LIGHTER = 180; // percent
constexpr int TITLE_POINT_SIZE = 12;

QLabel* label(QWidget* parent, const char* name, const QString& text, int left, int top)
{
    auto* widget = new QLabel(text, parent);
    widget->setObjectName(QString::fromLatin1(name));
    widget->move(left, top);
    widget->adjustSize();
    return widget;
}

// An envelope, drawn so that the box needs no image file.
QPixmap mailPicture()
{
    QPixmap picture(MAIL_PICTURE_SIZE, MAIL_PICTURE_SIZE);
    picture.fill(Qt::transparent);
    QPainter painter(&picture);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF envelope(2.5, 7.5, 28, 19);
    painter.setPen(QPen(QColor(0, 0, 128), 1.5));
    painter.setBrush(QColor(255, 250, 220));
    painter.drawRect(envelope);
    painter.drawLine(envelope.topLeft(), QPointF(envelope.center().x(), envelope.center().y() + 2));
    painter.drawLine(envelope.topRight(), QPointF(envelope.center().x(), envelope.center().y() + 2));
    return picture;
}

// The link and the picture take the keyboard focus and show it, as a button would.
void makeFocusable(QLabel* label)
{
    label->setFocusPolicy(Qt::StrongFocus);
    QPalette palette = label->palette();
    // Light enough for the navy link text on it.
    palette.setColor(QPalette::Window, QApplication::palette().color(QPalette::Highlight).lighter(FOCUS_LIGHTER));
    label->setPalette(palette);
}

bool isActivation(const QEvent* event)
{
    if (event->type() == QEvent::MouseButtonRelease)
        return static_cast<const QMouseEvent*>(event)->button() == Qt::LeftButton;
    if (event->type() != QEvent::KeyPress)
        return false;
    const int key = static_cast<const QKeyEvent*>(event)->key();
    return key == Qt::Key_Return || key == Qt::Key_Enter || key == Qt::Key_Space;
}

void openUrl(const QUrl& url)
{
    // The result is not checked: without a browser or mail program nothing happens.
    QDesktopServices::openUrl(url);
}

} // namespace

TFormAbout::TFormAbout(QWidget* mainForm)
    : QDialog(mainForm, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint),
      m_mainForm(mainForm)
{
    setObjectName(QStringLiteral("FormAbout"));
    installWindowFonts();
    setWindowTitle(QStringLiteral("About RS485 Firmware upgrader"));
    const QFont font = aboutFont();
    setFont(font);
    setModal(false);
    setFixedSize(CLIENT_WIDTH, CLIENT_HEIGHT);

    LApplicationTitle = label(this, "LApplicationTitle", QString(), 25, 8);
    LApplicationTitle->setFont(boldFont(TITLE_POINT_SIZE));
    LVersion = label(this, "LVersion", QStringLiteral("Version:"), 25, 34);
    LVersionVal = label(this, "LVersionVal", QString(), 72, 34);
    LNotice1 = label(this, "LNotice1", QStringLiteral("Firmware upgrade tool for RS485 bus devices."), 25, 53);
    LNotice2 = label(this, "LNotice2", QStringLiteral("Use only with devices and firmware files you trust."), 25,
                     72);
    LWebAddress = label(this, "LWebAddress", QUrl(webAddress()).host(), 25, 106);
    QFont linkFont = font;
    linkFont.setUnderline(true);
    LWebAddress->setFont(linkFont);
    QPalette linkPalette = LWebAddress->palette();
    linkPalette.setColor(QPalette::WindowText, QColor(0, 0, 128));
    LWebAddress->setPalette(linkPalette);
    LWebAddress->setCursor(Qt::PointingHandCursor);
    LWebAddress->adjustSize();
    LWebAddress->installEventFilter(this);
    LWebAddress->setAccessibleDescription(webAddress());
    makeFocusable(LWebAddress);

    ImageMail = new QLabel(this);
    ImageMail->setObjectName(QStringLiteral("ImageMail"));
    ImageMail->setGeometry(156, 96, MAIL_PICTURE_SIZE, MAIL_PICTURE_SIZE);
    ImageMail->setPixmap(mailPicture());
    ImageMail->setCursor(Qt::PointingHandCursor);
    ImageMail->setToolTip(mailAddress());
    ImageMail->setAccessibleName(mailAddress());
    ImageMail->setAlignment(Qt::AlignCenter);
    ImageMail->installEventFilter(this);
    makeFocusable(ImageMail);
    setTabOrder(LWebAddress, ImageMail);

    LVersionVal->setText(QString::fromLatin1(APPLICATION_VERSION));
    LVersionVal->adjustSize();
    LApplicationTitle->setText(QString::fromLatin1(app::APPLICATION_NAME));
    for (QLabel* text : {LApplicationTitle, LVersion, LVersionVal, LNotice1, LNotice2, LWebAddress})
        fitLabel(text, text->text(), Overflow::Condense);
}

QString TFormAbout::webAddress()
{
    return QStringLiteral("https://www.example.com/");
}

QString TFormAbout::mailAddress()
{
    return QStringLiteral("support@example.com");
}

void TFormAbout::showEvent(QShowEvent* event)
{
    FormShow();
    QDialog::showEvent(event);
}

void TFormAbout::FormShow()
{
    if (m_mainForm)
        move(m_mainForm->frameGeometry().topLeft() + QPoint(OFFSET_FROM_MAIN, OFFSET_FROM_MAIN));
}

bool TFormAbout::eventFilter(QObject* watched, QEvent* event)
{
    if ((watched == LWebAddress || watched == ImageMail) &&
        (event->type() == QEvent::FocusIn || event->type() == QEvent::FocusOut))
        static_cast<QLabel*>(watched)->setAutoFillBackground(event->type() == QEvent::FocusIn);
    if (isActivation(event)) {
        if (watched == LWebAddress) {
            LWebAddressClick();
            return true;
        }
        if (watched == ImageMail) {
            ImageMailClick();
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

void TFormAbout::LWebAddressClick()
{
    openUrl(QUrl(webAddress()));
}

void TFormAbout::ImageMailClick()
{
    QUrl mail(QStringLiteral("mailto:") + mailAddress());
    QUrlQuery query;
    query.addQueryItem(QStringLiteral("subject"), QString::fromLatin1(app::APPLICATION_TITLE));
    mail.setQuery(query);
    openUrl(mail);
}
