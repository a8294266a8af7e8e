#include "settings/phonepairingwindow.h"

#include "app/uilanguage.h"
#include "ui_phonepairingwindow.h"

#include <QClipboard>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QImage>
#include <QPixmap>

#include <algorithm>

namespace {

constexpr int quietZone = 4;
// Big enough for a phone's camera to read from a screen at arm's length; the largest codes get 2 pixels a module.
constexpr int targetCodePixels = 320;

} // namespace

PhonePairingWindow::PhonePairingWindow(QWidget *parent)
    : QDialog(parent), form(std::make_unique<Ui::PhonePairingWindow>())
{
    form->setupUi(this);
    setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);
    if (isFrenchInterface()) {
        setWindowTitle(QStringLiteral("tapvela - associer un téléphone"));
        form->scanHint->setText(QStringLiteral("Scannez ce code avec l'appareil photo du téléphone."));
        form->copyAddress->setText(QStringLiteral("Copier"));
    }
}

PhonePairingWindow::~PhonePairingWindow() = default;

QImage PhonePairingWindow::drawQrCode(const service::QrCode &code, int targetPixels)
{
    const int modules = code.size + 2 * quietZone;
    const int scale = std::max(2, targetPixels / modules);
    QImage image(modules * scale, modules * scale, QImage::Format_RGB32);
    image.fill(Qt::white);
    const QRgb dark = qRgb(0, 0, 0);
    for (int row = 0; row < code.size; ++row) {
        for (int column = 0; column < code.size; ++column) {
            if (!code.dark(row, column))
                continue;
            const int top = (row + quietZone) * scale;
            const int left = (column + quietZone) * scale;
            for (int y = top; y < top + scale; ++y)
                std::fill_n(reinterpret_cast<QRgb *>(image.scanLine(y)) + left, scale, dark);
        }
    }
    return image;
}

void PhonePairingWindow::showPage(const QString &page, const service::QrCode &code)
{
    // Drawn in device pixels, so that a scaled screen does not blur the modules.
    const qreal ratio = devicePixelRatioF();
    QPixmap pixmap = QPixmap::fromImage(drawQrCode(code, qRound(targetCodePixels * ratio)));
    pixmap.setDevicePixelRatio(ratio);
    form->qrCode->setPixmap(pixmap);
    form->qrCode->setMinimumSize(pixmap.size() / ratio);
    form->pageAddress->setText(page);
    // The whole address in view where the screen allows it; a longer one scrolls.
    const QFontMetrics metrics(form->pageAddress->font());
    form->pageAddress->setMinimumWidth(std::min(metrics.horizontalAdvance(page) + metrics.averageCharWidth() * 4, 640));
    form->pageAddress->setCursorPosition(0);
    adjustSize();
}

QString PhonePairingWindow::page() const
{
    return form->pageAddress->text();
}

void PhonePairingWindow::on_copyAddress_clicked()
{
    QGuiApplication::clipboard()->setText(form->pageAddress->text());
}
