#pragma once
#include <QDialog>

class QLabel;

// The About box: title, version, notice, web link and a mail picture. Created
// hidden at start-up and shown, without blocking, from the main window.
class TFormAbout final : public QDialog {
    Q_OBJECT
public:
    static constexpr int CLIENT_WIDTH = 311;
    static constexpr int CLIENT_HEIGHT = 137;
    static constexpr int OFFSET_FROM_MAIN = 50;

    // mainForm: the window the box is placed beside each time it is shown.
    explicit TFormAbout(QWidget* mainForm);

    static QString webAddress();
    static QString mailAddress();

protected:
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private slots:
    void LWebAddressClick();
    void ImageMailClick();

private:
    void FormShow();

    QWidget* m_mainForm = nullptr;
    QLabel* LApplicationTitle = nullptr;
    QLabel* LVersion = nullptr;
    QLabel* LVersionVal = nullptr;
    QLabel* LNotice1 = nullptr;
    QLabel* LNotice2 = nullptr;
    QLabel* LWebAddress = nullptr;
    QLabel* ImageMail = nullptr;
};
