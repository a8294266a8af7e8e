#include "desktop.h"

#include <QBuffer>
#include <QClipboard>
#include <QGuiApplication>
#include <QImage>
#include <QLineEdit>
#include <QMimeData>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

namespace desktop {

namespace {

QImage testImage()
{
    QImage image(4, 3, QImage::Format_ARGB32);
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x)
            image.setPixel(x, y, qRgba(60 * x, 80 * y, 200, 255));
    }
    return image;
}

QByteArray png(const QImage &image)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

// xclip reads the data, then serves the selection from the background until another program takes it.
bool offerWithXclip(const QByteArray &data, const QString &target)
{
    QProcess xclip;
    xclip.start(QStringLiteral("xclip"), {QStringLiteral("-selection"), QStringLiteral("clipboard"),
                                          QStringLiteral("-t"), target, QStringLiteral("-i")});
    if (!xclip.waitForStarted(5000))
        return false;
    xclip.write(data);
    xclip.closeWriteChannel();
    if (!xclip.waitForFinished(5000) || xclip.exitCode() != 0)
        return false;
    QClipboard *clipboard = QGuiApplication::clipboard();
    return QTest::qWaitFor(
        [clipboard] {
            const QMimeData *data = clipboard->mimeData();
            return !clipboard->ownsClipboard() && data && !data->formats().isEmpty();
        },
        5000);
}

} // namespace

bool hasDisplay()
{
    return !qEnvironmentVariableIsEmpty("DISPLAY");
}

bool xdotool(const QStringList &arguments)
{
    // The event loop runs meanwhile: the windows of this test must go on answering while the keys and the focus move.
    QProcess process;
    process.start(QStringLiteral("xdotool"), arguments);
    if (!process.waitForStarted(10000))
        return false;
    if (!QTest::qWaitFor([&process] { return process.state() == QProcess::NotRunning; }, 10000)) {
        process.kill();
        process.waitForFinished();
        return false;
    }
    return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

bool startXdotool(const QStringList &arguments)
{
    return QProcess::startDetached(QStringLiteral("xdotool"), arguments);
}

struct TargetWindow::Impl
{
    QLineEdit edit;
    bool exposed = false;
};

TargetWindow::TargetWindow() : d(std::make_unique<Impl>())
{
    d->edit.setWindowTitle(QStringLiteral("tapvela test target"));
    d->edit.resize(420, 40);
    d->edit.move(100, 300);
    d->edit.show();
    d->exposed = QTest::qWaitForWindowExposed(&d->edit);
}

TargetWindow::~TargetWindow() = default;

bool TargetWindow::isValid() const
{
    return d->exposed;
}

void TargetWindow::setText(const QString &text, bool selected)
{
    d->edit.setText(text);
    if (selected)
        d->edit.selectAll();
    else
        d->edit.deselect();
}

QString TargetWindow::text() const
{
    return d->edit.text();
}

bool TargetWindow::focus()
{
    if (!xdotool({QStringLiteral("windowfocus"), QStringLiteral("--sync"), QString::number(d->edit.winId())}))
        return false;
    return QTest::qWaitFor([this] { return d->edit.hasFocus(); }, 5000);
}

bool injectKey(int)
{
    return false;
}

bool fillClipboard(ClipboardContent content)
{
    QClipboard *clipboard = QGuiApplication::clipboard();
    switch (content) {
    case ClipboardContent::Empty:
        clipboard->clear();
        return QTest::qWaitFor(
            [clipboard] {
                const QMimeData *data = clipboard->mimeData();
                return !data || data->formats().isEmpty();
            },
            5000);
    case ClipboardContent::Text:
        clipboard->setText(QStringLiteral("abc"));
        return true;
    case ClipboardContent::UnicodeText:
        clipboard->setText(QStringLiteral("Prix : 12 € — café 日本"));
        return true;
    case ClipboardContent::Image: {
        auto *data = new QMimeData;
        data->setImageData(testImage());
        data->setData(QStringLiteral("application/x-tapvela-note"), QByteArray("note\0bytes", 10));
        clipboard->setMimeData(data);
        return true;
    }
    case ClipboardContent::ForeignText:
        return offerWithXclip(QByteArray("Prix : 12 € — café"), QStringLiteral("UTF8_STRING"));
    case ClipboardContent::ForeignImage:
        return offerWithXclip(png(testImage()), QStringLiteral("image/png"));
    }
    return false;
}

namespace {

// Reads one target of the clipboard with xclip, as another program would. This process may own the clipboard, so
// xclip is awaited with the event loop running, which serves its requests.
QByteArray readWithXclip(const QString &target, bool *ok)
{
    QProcess xclip;
    xclip.start(QStringLiteral("xclip"), {QStringLiteral("-selection"), QStringLiteral("clipboard"),
                                          QStringLiteral("-o"), QStringLiteral("-t"), target});
    *ok = xclip.waitForStarted(5000) &&
          QTest::qWaitFor([&xclip] { return xclip.state() == QProcess::NotRunning; }, 5000) &&
          xclip.exitStatus() == QProcess::NormalExit && xclip.exitCode() == 0;
    return xclip.readAllStandardOutput();
}

} // namespace

QString clipboardText()
{
    bool ok = false;
    const QByteArray text = readWithXclip(QStringLiteral("UTF8_STRING"), &ok);
    return ok ? QString::fromUtf8(text) : QString();
}

QMap<QString, QByteArray> clipboardSnapshot()
{
    const auto read = readWithXclip;
    QMap<QString, QByteArray> snapshot;
    bool ok = false;
    const QByteArray targets = read(QStringLiteral("TARGETS"), &ok);
    if (!ok)
        return snapshot; // no owner: an empty clipboard
    static const QStringList machinery = {QStringLiteral("TARGETS"), QStringLiteral("MULTIPLE"),
                                          QStringLiteral("TIMESTAMP"), QStringLiteral("SAVE_TARGETS")};
    for (const QByteArray &line : targets.split('\n')) {
        const QString target = QString::fromLatin1(line.trimmed());
        if (target.isEmpty() || machinery.contains(target))
            continue;
        QByteArray data = read(target, &ok);
        // Qt encodes an image anew for each request, and its ICO and CUR encoders leave the padding after a row's
        // last pixel unset: an image is compared by its pixels, not by its bytes.
        const QImage image = target.startsWith(QLatin1String("image/"))
                                 ? QImage::fromData(data, target.mid(6).toLatin1().constData())
                                 : QImage();
        if (!image.isNull()) {
            const QImage pixels = image.convertToFormat(QImage::Format_ARGB32);
            data = "pixels " + QByteArray::number(pixels.width()) + 'x' + QByteArray::number(pixels.height()) + ' ' +
                   QByteArray(reinterpret_cast<const char *>(pixels.constBits()), int(pixels.sizeInBytes()));
        }
        snapshot.insert(target, ok ? data : QByteArray("(unreadable)"));
    }
    return snapshot;
}

} // namespace desktop
