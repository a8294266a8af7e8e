#include <QApplication>
#include <QFile>
#include <QIcon>
#include <QImageReader>
#include <QLabel>
#include <QMovie>
#include <QPainter>
#include <QtEndian>
#include <QtTest>

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace {

// Relative luminance of an sRGB colour, for the contrast of white text on a picture.
double luminance(QColor c)
{
    auto channel = [](int v) {
        const double s = v / 255.0;
        return s <= 0.03928 ? s / 12.92 : std::pow((s + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * channel(c.red()) + 0.7152 * channel(c.green()) + 0.0722 * channel(c.blue());
}

double contrastWithWhite(QColor c)
{
    return 1.05 / (luminance(c) + 0.05);
}

QString atTwo(const QString &path)
{
    const int dot = path.lastIndexOf(QLatin1Char('.'));
    return path.left(dot) + QStringLiteral("@2x") + path.mid(dot);
}

} // namespace

class TestResources final : public QObject
{
    Q_OBJECT

private slots:
    void picturesHaveTheirFormatAndSize_data();
    void picturesHaveTheirFormatAndSize();
    void iconFilesHoldOne32BitImage_data();
    void iconFilesHoldOne32BitImage();
    void sendingAnimationLoopsSixFramesOf160Ms();
    void picturesLeaveTheWidgetsTheirPlaces_data();
    void picturesLeaveTheWidgetsTheirPlaces();
    void trayIconsTellSignedInFromSignedOut();
    void iconsPickTheDoubleResolutionFile_data();
    void iconsPickTheDoubleResolutionFile();
    void styleSheetPicksTheDoubleResolutionArrow();
};

void TestResources::picturesHaveTheirFormatAndSize_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QByteArray>("format");
    QTest::addColumn<QSize>("size");

    const QSize tray(16, 16);
    const QSize face(242, 255);
    const QSize still(185, 75);
    QTest::newRow("window icon") << ":/icons/tapvela_Icone_256x256.ico" << QByteArray("ico") << QSize(256, 256);
    QTest::newRow("tray off") << ":/icons/tapvela_Tray_Icone_16x16_Off.png" << QByteArray("png") << tray;
    QTest::newRow("tray on") << ":/icons/tapvela_Tray_Icone_16x16_On.png" << QByteArray("png") << tray;
    QTest::newRow("tray off ico") << ":/icons/tapvela_Tray_Icone_16x16_Off.ico" << QByteArray("ico") << tray;
    QTest::newRow("tray on ico") << ":/icons/tapvela_Tray_Icone_16x16_On.ico" << QByteArray("ico") << tray;
    QTest::newRow("login face") << ":/images/connexion.png" << QByteArray("png") << face;
    QTest::newRow("settings face") << ":/images/settings.png" << QByteArray("png") << face;
    QTest::newRow("arrow") << ":/images/arrow.png" << QByteArray("png") << QSize(48, 48);
    QTest::newRow("sending") << ":/images/sending.gif" << QByteArray("gif") << still;
    for (int i = 0; i < 4; ++i) {
        const QString path = QStringLiteral(":/images/sending_%1.png").arg(i);
        QTest::newRow(qPrintable(path)) << path << QByteArray("png") << still;
    }
    for (const char *base : {":/icons/tapvela_Tray_Icone_16x16_Off.png", ":/icons/tapvela_Tray_Icone_16x16_On.png",
                             ":/images/connexion.png", ":/images/settings.png", ":/images/arrow.png"}) {
        const QString path = atTwo(QString::fromLatin1(base));
        QImageReader oneX(QString::fromLatin1(base));
        QTest::newRow(qPrintable(path)) << path << QByteArray("png") << oneX.size() * 2;
    }
}

void TestResources::picturesHaveTheirFormatAndSize()
{
    QFETCH(QString, path);
    QFETCH(QByteArray, format);
    QFETCH(QSize, size);

    QImageReader reader(path);
    QVERIFY2(reader.canRead(), qPrintable(reader.errorString()));
    QCOMPARE(reader.format(), format);
    const QImage image = reader.read();
    QVERIFY2(!image.isNull(), qPrintable(reader.errorString()));
    QCOMPARE(image.size(), size);
}

void TestResources::iconFilesHoldOne32BitImage_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("side");
    QTest::addColumn<bool>("pngInside");

    QTest::newRow("window icon") << ":/icons/tapvela_Icone_256x256.ico" << 256 << true;
    QTest::newRow("tray off") << ":/icons/tapvela_Tray_Icone_16x16_Off.ico" << 16 << false;
    QTest::newRow("tray on") << ":/icons/tapvela_Tray_Icone_16x16_On.ico" << 16 << false;
}

void TestResources::iconFilesHoldOne32BitImage()
{
    QFETCH(QString, path);
    QFETCH(int, side);
    QFETCH(bool, pngInside);

    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray bytes = file.readAll();
    QVERIFY(bytes.size() > 22);
    const auto *raw = reinterpret_cast<const uchar *>(bytes.constData());
    QCOMPARE(qFromLittleEndian<quint16>(raw + 2), quint16(1)); // an icon, not a cursor
    QCOMPARE(qFromLittleEndian<quint16>(raw + 4), quint16(1)); // one image
    QCOMPARE(int(raw[6]), side % 256);                         // 0 stands for 256
    QCOMPARE(int(raw[7]), side % 256);
    QCOMPARE(qFromLittleEndian<quint16>(raw + 12), quint16(32));
    const quint32 offset = qFromLittleEndian<quint32>(raw + 18);
    QCOMPARE(quint64(offset) + qFromLittleEndian<quint32>(raw + 14), quint64(bytes.size()));
    const QByteArray image = bytes.mid(int(offset));
    if (pngInside) {
        QVERIFY(image.startsWith("\x89PNG\r\n\x1a\n"));
    } else {
        QCOMPARE(qFromLittleEndian<quint16>(reinterpret_cast<const uchar *>(image.constData()) + 14), quint16(32));
    }

    QImageReader reader(path);
    QCOMPARE(reader.imageCount(), 1);
    const QImage decoded = reader.read();
    QCOMPARE(decoded.size(), QSize(side, side));
    QCOMPARE(decoded.depth(), 32);
    QVERIFY(decoded.hasAlphaChannel());
    QCOMPARE(QIcon(path).availableSizes(), QList<QSize>{QSize(side, side)});
}

void TestResources::sendingAnimationLoopsSixFramesOf160Ms()
{
    QMovie movie(QStringLiteral(":/images/sending.gif"));
    QVERIFY(movie.isValid());
    QCOMPARE(movie.format(), QByteArray("gif"));
    QCOMPARE(movie.frameCount(), 6);
    QCOMPARE(movie.loopCount(), -1); // forever

    // QMovie shortens the next delay by the time the frame took to decode, so the file's own delays are read
    // through an image reader: after each read it reports that frame's delay.
    QImageReader reader(QStringLiteral(":/images/sending.gif"));
    QImage previous;
    for (int i = 0; i < 6; ++i) {
        QVERIFY(!reader.read().isNull());
        QCOMPARE(reader.nextImageDelay(), 160);
        QVERIFY(movie.jumpToFrame(i));
        const QImage frame = movie.currentImage();
        QCOMPARE(frame.size(), QSize(185, 75));
        QVERIFY2(frame != previous, qPrintable(QStringLiteral("frame %1 repeats the one before").arg(i)));
        previous = frame;
    }
}

// The windows lay transparent widgets over their face pictures: what the picture shows there is what
// the user sees behind each field, and the labels paint white over their own rectangles.
void TestResources::picturesLeaveTheWidgetsTheirPlaces_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QRect>("rect");
    QTest::addColumn<QString>("expected");

    const QString login = QStringLiteral(":/images/connexion.png");
    const QString settings = QStringLiteral(":/images/settings.png");
    QTest::newRow("username field") << login << QRect(10, 105, 221, 21) << "pale blue";
    QTest::newRow("password field") << login << QRect(10, 133, 221, 21) << "pale blue";
    QTest::newRow("device list") << settings << QRect(7, 92, 227, 66) << "pale blue";
    QTest::newRow("hotkey list") << settings << QRect(10, 180, 221, 22) << "pale blue";
    QTest::newRow("default device label") << settings << QRect(8, 74, 226, 16) << "white";
    QTest::newRow("key label") << settings << QRect(8, 162, 131, 16) << "white";
    QTest::newRow("disconnect text area") << settings << QRect(80, 218, 83, 23) << "orange under white text";
    QTest::newRow("GO button middle") << login << QRect(108, 193, 32, 32) << "orange with white text";
}

void TestResources::picturesLeaveTheWidgetsTheirPlaces()
{
    QFETCH(QString, path);
    QFETCH(QRect, rect);
    QFETCH(QString, expected);

    const QImage image = QImage(path).convertToFormat(QImage::Format_ARGB32);
    QVERIFY(image.rect().contains(rect));
    int whitePixels = 0;
    for (int y = rect.top(); y <= rect.bottom(); ++y) {
        for (int x = rect.left(); x <= rect.right(); ++x) {
            const QColor c = image.pixelColor(x, y);
            const QByteArray where = QStringLiteral("%1 at %2,%3").arg(c.name()).arg(x).arg(y).toLatin1();
            if (expected == QLatin1String("pale blue")) {
                QVERIFY2(c == QColor(217, 230, 255), where);
            } else if (expected == QLatin1String("white")) {
                QVERIFY2(c == QColor(Qt::white), where);
            } else if (expected == QLatin1String("orange under white text")) {
                QVERIFY2(c.red() > c.green() && c.green() > c.blue() && c.red() >= 200, where);
                QVERIFY2(contrastWithWhite(c) >= 2.4, where);
            } else if (std::min({c.red(), c.green(), c.blue()}) >= 235) {
                ++whitePixels; // the lettering and its smoothed edge
            } else {
                QVERIFY2(c.red() >= c.green() && c.green() >= c.blue() && c.red() >= 200, where);
            }
        }
    }
    if (expected == QLatin1String("orange with white text"))
        QVERIFY2(whitePixels > 40, "no lettering on the button");
}

void TestResources::trayIconsTellSignedInFromSignedOut()
{
    auto averageOpaque = [](const QString &path) {
        const QImage image = QImage(path).convertToFormat(QImage::Format_ARGB32);
        double r = 0, g = 0, b = 0;
        int n = 0;
        for (int y = 0; y < image.height(); ++y) {
            for (int x = 0; x < image.width(); ++x) {
                const QRgb px = image.pixel(x, y);
                if (qAlpha(px) == 255 && px != qRgb(255, 255, 255)) {
                    r += qRed(px), g += qGreen(px), b += qBlue(px);
                    ++n;
                }
            }
        }
        return n == 0 ? QColor() : QColor(int(r / n), int(g / n), int(b / n));
    };
    const QColor on = averageOpaque(QStringLiteral(":/icons/tapvela_Tray_Icone_16x16_On.png"));
    const QColor off = averageOpaque(QStringLiteral(":/icons/tapvela_Tray_Icone_16x16_Off.png"));
    QVERIFY(on.isValid() && off.isValid());
    QVERIFY2(on.blue() > on.red() + 60, qPrintable(on.name()));
    QVERIFY2(std::abs(off.red() - off.blue()) < 20 && std::abs(off.green() - off.blue()) < 20, qPrintable(off.name()));
    const QImage corner(QStringLiteral(":/icons/tapvela_Tray_Icone_16x16_On.png"));
    QCOMPARE(qAlpha(corner.pixel(0, 0)), 0);
}

// The program scales its windows on high-density screens; the test runs at a scale of 2 (see main), where
// an icon of a picture must come from its "@2x" file rather than from the small one enlarged.
void TestResources::iconsPickTheDoubleResolutionFile_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QSize>("logicalSize");

    QTest::newRow("tray off") << ":/icons/tapvela_Tray_Icone_16x16_Off.png" << QSize(16, 16);
    QTest::newRow("tray on") << ":/icons/tapvela_Tray_Icone_16x16_On.png" << QSize(16, 16);
    QTest::newRow("login face") << ":/images/connexion.png" << QSize(242, 255);
    QTest::newRow("settings face") << ":/images/settings.png" << QSize(242, 255);
    QTest::newRow("arrow") << ":/images/arrow.png" << QSize(48, 48);
}

void TestResources::iconsPickTheDoubleResolutionFile()
{
    QFETCH(QString, path);
    QFETCH(QSize, logicalSize);

    QCOMPARE(qApp->devicePixelRatio(), 2.0);
    const QPixmap pixmap = QIcon(path).pixmap(logicalSize);
    QCOMPARE(pixmap.devicePixelRatio(), 2.0);
    QCOMPARE(pixmap.size(), logicalSize * 2);
    const QImage expected = QImage(atTwo(path)).convertToFormat(QImage::Format_ARGB32_Premultiplied);
    QCOMPARE(pixmap.toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied), expected);
}

void TestResources::styleSheetPicksTheDoubleResolutionArrow()
{
    QLabel label;
    label.setStyleSheet(QStringLiteral("background-color: white; border: 0px; "
                                       "border-image: url(:/images/arrow.png);"));
    label.setFixedSize(48, 48);
    const QImage shown = label.grab().toImage().convertToFormat(QImage::Format_ARGB32);
    QCOMPARE(shown.size(), QSize(96, 96));

    QImage expected(96, 96, QImage::Format_ARGB32);
    expected.fill(Qt::white);
    QImage twice(QStringLiteral(":/images/arrow@2x.png"));
    twice.setDevicePixelRatio(1); // the reader gives "@2x" files a ratio of 2; paint it pixel for pixel here
    QPainter painter(&expected);
    painter.drawImage(0, 0, twice);
    painter.end();
    int worst = 0;
    for (int y = 0; y < 96; ++y) {
        for (int x = 0; x < 96; ++x) {
            const QRgb a = shown.pixel(x, y);
            const QRgb b = expected.pixel(x, y);
            worst = std::max(
                {worst, std::abs(qRed(a) - qRed(b)), std::abs(qGreen(a) - qGreen(b)), std::abs(qBlue(a) - qBlue(b))});
        }
    }
    QVERIFY2(worst <= 3, qPrintable(QStringLiteral("largest channel difference %1").arg(worst)));
}

int main(int argc, char *argv[])
{
    // As the program does, and on a screen of scale 2, so that the "@2x" pictures are in play.
    qputenv("QT_SCALE_FACTOR", "2");
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    QCoreApplication::setAttribute(Qt::AA_UseHighDpiPixmaps);
    QApplication app(argc, argv);
    TestResources test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_resources.moc"
