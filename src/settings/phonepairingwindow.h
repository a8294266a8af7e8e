#pragma once

#include "service/requests.h"

#include <QDialog>

#include <memory>

namespace Ui {
class PhonePairingWindow;
}

// Shows a phone the way to its page: the page's QR code, drawn here from the service's modules, and the address
// itself to copy. Not modal: the settings window stays usable, and keeps one such window at a time.
class PhonePairingWindow : public QDialog
{
    Q_OBJECT

public:
    explicit PhonePairingWindow(QWidget *parent = nullptr);
    ~PhonePairingWindow() override;

    void showPage(const QString &page, const service::QrCode &code);
    QString page() const;

    // The code as drawn: a quiet zone of 4 light modules on every side, dark on white, each module an equal square
    // of whole device pixels, about targetPixels wide in all.
    static QImage drawQrCode(const service::QrCode &code, int targetPixels);

private slots:
    void on_copyAddress_clicked();

private:
    std::unique_ptr<Ui::PhonePairingWindow> form;
};
