#include "WindowFixture.h"

#include <QFileDialog>

#include <filesystem>
#include <fstream>

namespace uitest {

const std::vector<const char*> RUN_CONTROLS = {
    "BFUStart",         "BFUOpenFileBin",    "BCheckDevice", "BWakeUp",     "CBComPort",
    "RBMainDirect",     "RBNested1ThroughMain", "RBNested2ThroughMain", "EBaudRate", "EMainAdd",
    "ENestedAdd1",      "ENestedAdd2",       "EInterfaceNumber1", "EInterfaceNumber2"};

LinkedPort::LinkedPort(int number, const std::string& device)
{
    const std::filesystem::path ports = std::filesystem::path(dataDirectory()) / "ports";
    std::filesystem::create_directories(ports);
    m_link = (ports / ("COM" + std::to_string(number))).string();
    std::error_code ignored;
    std::filesystem::remove(m_link, ignored);
    std::filesystem::create_symlink(device, m_link);
}

LinkedPort::~LinkedPort()
{
    std::error_code ignored;
    std::filesystem::remove(m_link, ignored);
}

std::string writeFile(const std::string& name, const std::vector<uint8_t>& bytes)
{
    const std::string path = homeDirectory() + "/" + name;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return path;
}

void WindowTest::SetUp()
{
    reportErrorsToFile();
}

void WindowTest::TearDown()
{
    form.reset();
}

void WindowTest::openWindow()
{
    // Only the ports linked in the data directory: the machine's own serial
    // devices stay out of the list.
    const std::string none = homeDirectory() + "/no-devices";
    std::filesystem::create_directories(none);
    form = std::make_unique<TFormMain>(platform::PortMap(dataDirectory(), none, none));
    about = new TFormAbout(form.get());
    form->setAboutForm(about);
    form->show();
}

QStringList WindowTest::stateLines()
{
    return stateBox()->toPlainText().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

int WindowTest::reported(const std::string& text)
{
    const std::string file = diagnosticFile();
    int count = 0;
    for (size_t at = file.find(text); at != std::string::npos; at = file.find(text, at + text.size()))
        ++count;
    return count;
}

void WindowTest::loadThroughDialog(const std::string& path)
{
    bool answered = false;
    answerNextModal([&](QWidget* modal) {
        auto* dialog = qobject_cast<QFileDialog*>(modal);
        if (!dialog)
            return false;
        dialog->selectFile(QString::fromStdString(path));
        static_cast<QDialog*>(dialog)->accept();
        answered = true;
        return true;
    });
    button("BFUOpenFileBin")->click();
    EXPECT_TRUE(answered);
}

bool WindowTest::controlsUnlocked()
{
    for (const char* name : RUN_CONTROLS)
        if (!control<QWidget>(name)->isEnabled())
            return false;
    return true;
}

bool WindowTest::runToEnd(QPushButton* starter, int timeoutMs)
{
    starter->click();
    return waitUntil(
        [&] {
            const int code = form->lastEventCode();
            return (code == EVENT_FINISHED || code == EVENT_FAILED || code == EVENT_CHECK_DONE) &&
                   controlsUnlocked();
        },
        timeoutMs);
}

} // namespace uitest
