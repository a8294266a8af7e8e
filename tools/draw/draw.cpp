// Draws every picture of the program's resource set.
//
// Usage: draw <resources-dir> <frames-dir> <home-screen-icons-dir>
// The pictures go to <resources-dir>/images and <resources-dir>/icons; the animation's frames go to
// <frames-dir>, where draw.sh assembles them into the GIF (Qt has no GIF writer); the phone page's home-screen
// icons to <home-screen-icons-dir>.
// Each window picture is drawn once in logical pixels and rendered at scale 1 and 2 (the "@2x" files),
// so both resolutions share every coordinate.

#include <QBuffer>
#include <QColor>
#include <QDir>
#include <QFile>
#include <QFont>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QTransform>
#include <QtEndian>
#include <QtMath>

#include <cmath>
#include <cstdio>
#include <functional>

namespace {

const QColor orange(0xF2, 0x8C, 0x28);
const QColor orangeLight(0xF7, 0xA8, 0x55);
const QColor orangeDark(0xDB, 0x6E, 0x12);
const QColor paleBlue(217, 230, 255);
const QColor paleBlueEdge(0xBF, 0xD2, 0xF5);
const QColor trayBlue(0x2F, 0x7B, 0xE6);
const QColor trayBlueDark(0x1E, 0x5F, 0xC2);
const QColor trayGrey(0x9C, 0xA1, 0xA8);
const QColor trayGreyDark(0x7A, 0x7F, 0x86);
const QColor ink(0x3A, 0x3F, 0x4A);
const QColor arrowGreen(0x3C, 0xB3, 0x4A);
const QColor arrowGreenDark(0x2A, 0x8C, 0x36);

QString fontFamily;

bool loadFonts()
{
    // Loaded from the files so that the outcome does not depend on the fontconfig set-up.
    const char *files[] = {"/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf",
                           "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf"};
    for (const char *file : files) {
        const int id = QFontDatabase::addApplicationFont(QString::fromLatin1(file));
        if (id < 0) {
            std::fprintf(stderr, "cannot load font %s\n", file);
            return false;
        }
        fontFamily = QFontDatabase::applicationFontFamilies(id).value(0);
    }
    return !fontFamily.isEmpty();
}

QFont font(qreal pixelSize, bool bold)
{
    QFont f(fontFamily);
    // Pixel sizes are whole numbers; a point size is not, and the canvases are 96 dpi.
    f.setPointSizeF(pixelSize * 72.0 / 96.0);
    f.setBold(bold);
    f.setHintingPreference(QFont::PreferNoHinting);
    f.setStyleStrategy(QFont::PreferAntialias);
    return f;
}

// A picture of w x h logical pixels at the given scale: draw paints it in logical pixels, with no pen.
QImage picture(int w, int h, int scale, const QColor &fill, const std::function<void(QPainter &)> &draw)
{
    QImage image(w * scale, h * scale, QImage::Format_ARGB32_Premultiplied);
    image.fill(fill);
    image.setDotsPerMeterX(3780);
    image.setDotsPerMeterY(3780);
    QPainter p(&image);
    p.setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing | QPainter::SmoothPixmapTransform);
    p.scale(scale, scale);
    p.setPen(Qt::NoPen);
    draw(p);
    return image;
}

bool save(const QImage &image, const QString &path)
{
    const QImage out = image.convertToFormat(QImage::Format_ARGB32);
    if (!out.save(path, "PNG")) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return false;
    }
    return true;
}

// The handset, in a 100 x 100 box: ear piece top left, mouth piece bottom right, the grip bowing towards
// the bottom left corner.
QPainterPath handsetPath()
{
    const QPointF centre(74, 26);
    const qreal radius = 50;
    const qreal startDeg = 180; // y grows downwards, so 180 is left of the centre and 90 below it
    const qreal endDeg = 90;

    QPainterPath grip;
    QRectF circle(centre.x() - radius, centre.y() - radius, 2 * radius, 2 * radius);
    grip.arcMoveTo(circle, -startDeg);
    grip.arcTo(circle, -startDeg, startDeg - endDeg);
    QPainterPathStroker stroker;
    stroker.setWidth(17);
    stroker.setCapStyle(Qt::FlatCap);
    stroker.setJoinStyle(Qt::RoundJoin);
    QPainterPath body = stroker.createStroke(grip);

    // The two pads stand out on the inner side of the grip and run on past its ends.
    auto pad = [&](qreal deg, qreal along) {
        const qreal rad = qDegreesToRadians(deg);
        const QPointF at = centre + QPointF(std::cos(rad), std::sin(rad)) * radius;
        QTransform t;
        t.translate(at.x(), at.y());
        t.rotate(deg + 180); // local x points to the centre
        QPainterPath p;
        p.addRoundedRect(QRectF(-9.5, along < 0 ? -16 : -8, 27, 24), 10, 10);
        return t.map(p);
    };
    body = body.united(pad(startDeg, -1));
    body = body.united(pad(endDeg, 1));
    return body.simplified();
}

// A straight line from one point to another, drawn width wide with the given ends.
QPainterPath strokedLine(const QPointF &from, const QPointF &to, qreal width, Qt::PenCapStyle cap)
{
    QPainterPath line;
    line.moveTo(from);
    line.lineTo(to);
    QPainterPathStroker stroker;
    stroker.setWidth(width);
    stroker.setCapStyle(cap);
    return stroker.createStroke(line);
}

// A filled triangle; rounding > 0 widens it by a round-joined stroke of that width, which rounds its corners.
QPainterPath triangle(const QPointF &a, const QPointF &b, const QPointF &c, qreal rounding = 0)
{
    QPainterPath tri;
    tri.moveTo(a);
    tri.lineTo(b);
    tri.lineTo(c);
    tri.closeSubpath();
    if (rounding <= 0)
        return tri;
    QPainterPathStroker round;
    round.setWidth(rounding);
    round.setJoinStyle(Qt::RoundJoin);
    return tri.united(round.createStroke(tri));
}

// An arrow leaving the handset towards the top right, in the same 100 x 100 box.
QPainterPath pushArrowPath()
{
    const QPainterPath arrow = strokedLine(QPointF(52, 48), QPointF(80, 20), 10, Qt::RoundCap);
    const QPainterPath head = triangle(QPointF(92, 8), QPointF(92, 36), QPointF(64, 8), 6);
    return arrow.united(head).simplified();
}

QPainterPath fitted(const QPainterPath &path, const QRectF &box)
{
    QTransform t;
    t.translate(box.x(), box.y());
    t.scale(box.width() / 100.0, box.height() / 100.0);
    return t.map(path);
}

QLinearGradient markFill(const QRectF &r)
{
    QLinearGradient fill(r.topLeft(), r.bottomRight());
    fill.setColorAt(0, orangeLight);
    fill.setColorAt(0.55, orange);
    fill.setColorAt(1, orangeDark);
    return fill;
}

void drawGlyph(QPainter &p, const QRectF &r, qreal inset)
{
    const QRectF glyph = r.adjusted(r.width() * inset, r.height() * inset, -r.width() * inset, -r.height() * inset);
    p.setBrush(QColor(255, 255, 255));
    p.drawPath(fitted(handsetPath(), glyph));
    p.drawPath(fitted(pushArrowPath(), glyph));
}

// The product mark: an orange rounded square with the white handset and its push arrow.
void drawMark(QPainter &p, const QRectF &r)
{
    const qreal corner = r.width() * 0.22;
    p.setBrush(markFill(r));
    p.setPen(Qt::NoPen);
    p.drawRoundedRect(r, corner, corner);
    drawGlyph(p, r, 0.16);
}

// Mark and name side by side, centred on centreX, the mark's top at top.
void drawLogo(QPainter &p, qreal centreX, qreal top, qreal markSize)
{
    const QFont nameFont = font(markSize * 0.72, true);
    const QFontMetricsF fm(nameFont, p.device());
    const QString tap = QStringLiteral("tap");
    const QString vela = QStringLiteral("vela");
    const qreal gap = markSize * 0.22;
    const qreal nameWidth = fm.horizontalAdvance(tap + vela);
    const qreal left = centreX - (markSize + gap + nameWidth) / 2;
    drawMark(p, QRectF(left, top, markSize, markSize));

    const qreal baseline = top + markSize / 2 + (fm.ascent() - fm.descent()) / 2 - fm.descent() * 0.15;
    p.setFont(nameFont);
    p.setPen(ink);
    p.drawText(QPointF(left + markSize + gap, baseline), tap);
    p.setPen(orange);
    p.drawText(QPointF(left + markSize + gap + fm.horizontalAdvance(tap), baseline), vela);
    p.setPen(Qt::NoPen);
}

// A pale blue band with a thin edge, for the fields that the window lays over it.
void drawBand(QPainter &p, const QRectF &r, qreal corner)
{
    p.setBrush(paleBlue);
    p.setPen(QPen(paleBlueEdge, 1));
    p.drawRoundedRect(r.adjusted(0.5, 0.5, -0.5, -0.5), corner, corner);
    p.setPen(Qt::NoPen);
}

void drawGoButton(QPainter &p, const QRectF &r)
{
    const QPointF c = r.center();
    const qreal radius = std::min(r.width(), r.height()) / 2;
    QRadialGradient fill(c - QPointF(radius * 0.3, radius * 0.4), radius * 1.5);
    fill.setColorAt(0, orangeLight);
    fill.setColorAt(0.6, orange);
    fill.setColorAt(1, orangeDark);
    p.setBrush(fill);
    p.drawEllipse(c, radius, radius);
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(QColor(255, 255, 255, 90), 1.5));
    p.drawEllipse(c, radius - 4, radius - 4);

    p.setFont(font(23, true));
    p.setPen(Qt::white);
    p.drawText(r.adjusted(0, 1, 0, 1), Qt::AlignCenter, QStringLiteral("GO"));
    p.setPen(Qt::NoPen);
}

void drawRoundedButton(QPainter &p, const QRectF &r)
{
    // No lighter tint than the brand orange: the widget writes white text on it.
    QLinearGradient fill(r.topLeft(), r.bottomLeft());
    fill.setColorAt(0, orange);
    fill.setColorAt(1, orangeDark);
    p.setBrush(fill);
    p.drawRoundedRect(r, 9, 9);
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(QColor(255, 255, 255, 80), 1));
    p.drawRoundedRect(r.adjusted(1.5, 1.5, -1.5, -1.5), 7.5, 7.5);
    p.setPen(Qt::NoPen);
}

// The background of a window of 242 x 255, white with the logo centred at the top; drawFields adds what lies
// under the window's own widgets.
QImage windowPicture(int scale, qreal logoTop, qreal markSize, const std::function<void(QPainter &)> &drawFields)
{
    return picture(242, 255, scale, Qt::white, [&](QPainter &p) {
        drawLogo(p, 121, logoTop, markSize);
        drawFields(p);
    });
}

QImage connexionPicture(int scale)
{
    return windowPicture(scale, 28, 46, [](QPainter &p) {
        // The window lays its two fields at y 105 and 133, each 221 x 21 from x 10.
        drawBand(p, QRectF(4, 102, 234, 27), 6);
        drawBand(p, QRectF(4, 130, 234, 27), 6);
        // The window's invisible button covers 88, 173, 72 x 71.
        drawGoButton(p, QRectF(88, 173, 72, 71));
    });
}

QImage settingsPicture(int scale)
{
    return windowPicture(scale, 16, 40, [](QPainter &p) {
        // Room for the two labels at y 74 and 162; the list at 7, 92, 227 x 66, the combo box at 10, 180,
        // 221 x 22. The labels paint white over their rectangles (y 74 to 90 and 162 to 178): the bands start
        // below them.
        drawBand(p, QRectF(3, 90, 236, 70), 7);
        drawBand(p, QRectF(6, 178, 230, 27), 6);
        // The transparent "disconnect" button at 76, 214, 91 x 31 draws its white text on this.
        drawRoundedButton(p, QRectF(76, 214, 91, 31));
    });
}

QImage arrowPicture(int scale)
{
    return picture(48, 48, scale, Qt::transparent, [](QPainter &p) {
        // The combo box centres this picture, at full size, on its drop-down button and clips it to its own
        // rectangle: only about x 0 to 31 and y 12 to 33 are seen, so the triangle stays small and inside that.
        const QPainterPath tri = triangle(QPointF(15, 19.5), QPointF(29, 19.5), QPointF(22, 27.5), 3).simplified();
        QLinearGradient fill(0, 18, 0, 29);
        fill.setColorAt(0, arrowGreen);
        fill.setColorAt(1, arrowGreenDark);
        p.setBrush(fill);
        p.drawPath(tri);
    });
}

QPainterPath cloudPath()
{
    // In a 16 x 16 box.
    QPainterPath cloud;
    cloud.addEllipse(QPointF(4.7, 9.6), 3.4, 3.4);
    cloud.addEllipse(QPointF(8.5, 7.0), 4.5, 4.5);
    cloud.addEllipse(QPointF(11.7, 9.8), 3.2, 3.2);
    cloud.addRoundedRect(QRectF(1.3, 8.2, 13.6, 4.8), 2.4, 2.4);
    cloud.setFillRule(Qt::WindingFill);
    return cloud.simplified();
}

QImage trayPicture(int scale, bool on)
{
    return picture(16, 16, scale, Qt::transparent, [on](QPainter &p) {
        const QColor top = on ? trayBlue : trayGrey;
        const QColor bottom = on ? trayBlueDark : trayGreyDark;
        QLinearGradient fill(0, 2, 0, 13);
        fill.setColorAt(0, top.lighter(115));
        fill.setColorAt(1, bottom);
        p.setBrush(fill);
        p.drawPath(cloudPath());

        // A white arrow going up out of the cloud: the push. On whole pixels at 16 x 16: the shaft covers
        // columns 7 and 8.
        const QPainterPath shaft = strokedLine(QPointF(8, 12.5), QPointF(8, 7.5), 2, Qt::FlatCap);
        p.setBrush(Qt::white);
        p.drawPath(shaft.united(triangle(QPointF(4.5, 8.2), QPointF(8, 4.5), QPointF(11.5, 8.2))));
    });
}

QImage appIcon()
{
    return picture(256, 256, 1, Qt::transparent, [](QPainter &p) { drawMark(p, QRectF(8, 8, 240, 240)); });
}

// The mark for a phone's home screen: the whole square filled, since phones cut their own shape out of it, and
// the glyph kept within the middle that every such shape keeps.
QImage homeScreenIcon(int size)
{
    return picture(size, size, 1, orange, [size](QPainter &p) {
        const QRectF r(0, 0, size, size);
        p.setBrush(markFill(r));
        p.drawRect(r);
        drawGlyph(p, r, 0.24);
    });
}

// A small smartphone outline; notice > 0 lights a notification on its screen.
void drawPhone(QPainter &p, const QRectF &r, int notice)
{
    p.setBrush(ink);
    p.drawRoundedRect(r, 6, 6);
    const QRectF screen = r.adjusted(3, 7, -3, -8);
    p.setBrush(notice > 0 ? QColor(0xF4, 0xF8, 0xFF) : QColor(0xE3, 0xE8, 0xF0));
    p.drawRoundedRect(screen, 2, 2);
    p.setBrush(QColor(0x8A, 0x90, 0x9C));
    p.drawRoundedRect(QRectF(r.center().x() - 4, r.top() + 3, 8, 1.6), 0.8, 0.8);
    p.drawEllipse(QPointF(r.center().x(), r.bottom() - 4), 1.8, 1.8);
    if (notice > 0) {
        const QRectF bubble(screen.left() + 2, screen.top() + 4, screen.width() - 4, 12);
        p.setBrush(orange);
        p.drawRoundedRect(bubble, 3, 3);
        p.setBrush(Qt::white);
        p.drawEllipse(QPointF(bubble.left() + 5, bubble.center().y()), 2.5, 2.5);
        p.drawRoundedRect(QRectF(bubble.left() + 9.5, bubble.top() + 3.5, bubble.width() - 12, 1.8), 0.9, 0.9);
        p.drawRoundedRect(QRectF(bubble.left() + 9.5, bubble.top() + 6.8, bubble.width() - 15, 1.8), 0.9, 0.9);
    }
    if (notice > 1) {
        // The phone rings: short strokes on both sides.
        p.setPen(QPen(orange, 2, Qt::SolidLine, Qt::RoundCap));
        const qreal mid = r.center().y();
        for (int side : {-1, 1}) {
            const qreal x = side < 0 ? r.left() - 5 : r.right() + 5;
            p.drawLine(QPointF(x, mid - 9), QPointF(x + side * 3, mid - 12));
            p.drawLine(QPointF(x + side * 0.5, mid), QPointF(x + side * 4, mid));
            p.drawLine(QPointF(x, mid + 9), QPointF(x + side * 3, mid + 12));
        }
        p.setPen(Qt::NoPen);
    }
}

// One frame of the sending animation: the mark sends a number, chevrons carry it to the phone, which lights up.
QImage sendingFrame(int frame)
{
    return picture(185, 75, 1, Qt::white, [frame](QPainter &p) {
        QLinearGradient back(0, 0, 0, 75);
        back.setColorAt(0, QColor(0xEE, 0xF3, 0xFF));
        back.setColorAt(1, paleBlue);
        p.setBrush(back);
        p.setPen(QPen(paleBlueEdge, 1));
        p.drawRect(QRectF(0.5, 0.5, 184, 74));
        p.setPen(Qt::NoPen);

        drawMark(p, QRectF(14, 15, 45, 45));

        // Three chevrons; the lit one moves one step per frame, then all glow while the phone rings.
        for (int i = 0; i < 3; ++i) {
            const qreal x = 79 + i * 16;
            const bool lit = (frame < 3) ? i == frame : true;
            const QColor colour = lit ? orange : QColor(0xB4, 0xC6, 0xEA);
            p.setPen(QPen(colour, 4, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
            QPainterPath chevron;
            chevron.moveTo(x, 28.5);
            chevron.lineTo(x + 9, 37.5);
            chevron.lineTo(x, 46.5);
            p.drawPath(chevron);
        }
        p.setPen(Qt::NoPen);

        const int notice = frame < 3 ? 0 : (frame == 4 ? 2 : 1);
        drawPhone(p, QRectF(139, 10, 28, 55), notice);
    });
}

QByteArray pngBytes(const QImage &image)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.convertToFormat(QImage::Format_ARGB32).save(&buffer, "PNG");
    return bytes;
}

void appendLe16(QByteArray &out, quint16 v)
{
    char b[2];
    qToLittleEndian(v, b);
    out.append(b, 2);
}

void appendLe32(QByteArray &out, quint32 v)
{
    char b[4];
    qToLittleEndian(v, b);
    out.append(b, 4);
}

// An ICO file with one 32-bit image. From 256 pixels up the image is stored as PNG, as Windows does
// since Vista; smaller ones as the classic bottom-up BGRA bitmap with its AND mask.
QByteArray icoFile(const QImage &source)
{
    const QImage image = source.convertToFormat(QImage::Format_ARGB32);
    const int w = image.width();
    const int h = image.height();
    QByteArray data;
    if (w >= 256) {
        data = pngBytes(image);
    } else {
        const int maskStride = ((w + 31) / 32) * 4;
        appendLe32(data, 40);
        appendLe32(data, quint32(w));
        appendLe32(data, quint32(h * 2)); // colour rows and mask rows
        appendLe16(data, 1);
        appendLe16(data, 32);
        appendLe32(data, 0); // BI_RGB
        appendLe32(data, quint32(w * h * 4 + maskStride * h));
        appendLe32(data, 0);
        appendLe32(data, 0);
        appendLe32(data, 0);
        appendLe32(data, 0);
        for (int y = h - 1; y >= 0; --y) {
            const QRgb *line = reinterpret_cast<const QRgb *>(image.constScanLine(y));
            for (int x = 0; x < w; ++x)
                appendLe32(data, line[x]); // 0xAARRGGBB little-endian is B, G, R, A
        }
        for (int y = h - 1; y >= 0; --y) {
            QByteArray row(maskStride, '\0');
            const QRgb *line = reinterpret_cast<const QRgb *>(image.constScanLine(y));
            for (int x = 0; x < w; ++x) {
                if (qAlpha(line[x]) == 0)
                    row[x / 8] = char(row[x / 8] | (0x80 >> (x % 8)));
            }
            data.append(row);
        }
    }

    QByteArray out;
    appendLe16(out, 0);
    appendLe16(out, 1); // icon
    appendLe16(out, 1); // one image
    out.append(char(w >= 256 ? 0 : w));
    out.append(char(h >= 256 ? 0 : h));
    out.append(char(0)); // no palette
    out.append(char(0));
    appendLe16(out, 1);  // planes
    appendLe16(out, 32); // bits per pixel
    appendLe32(out, quint32(data.size()));
    appendLe32(out, 6 + 16);
    out.append(data);
    return out;
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size()) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return false;
    }
    return true;
}

bool saveBoth(const QString &base, const std::function<QImage(int)> &draw)
{
    return save(draw(1), base + QStringLiteral(".png")) && save(draw(2), base + QStringLiteral("@2x.png"));
}

} // namespace

int main(int argc, char **argv)
{
    QGuiApplication app(argc, argv);
    if (argc != 4) {
        std::fprintf(stderr, "usage: draw <resources-dir> <frames-dir> <home-screen-icons-dir>\n");
        return 2;
    }
    if (!loadFonts())
        return 1;
    const QDir root(QString::fromLocal8Bit(argv[1]));
    const QDir frames(QString::fromLocal8Bit(argv[2]));
    const QDir homeScreen(QString::fromLocal8Bit(argv[3]));
    if (!root.mkpath(QStringLiteral("images")) || !root.mkpath(QStringLiteral("icons")) || !frames.mkpath(".") ||
        !homeScreen.mkpath(".")) {
        std::fprintf(stderr, "cannot create the output folders\n");
        return 1;
    }
    const QString images = root.filePath(QStringLiteral("images/"));
    const QString icons = root.filePath(QStringLiteral("icons/"));

    bool ok = saveBoth(images + "connexion", connexionPicture) && saveBoth(images + "settings", settingsPicture) &&
              saveBoth(images + "arrow", arrowPicture) &&
              saveBoth(icons + "tapvela_Tray_Icone_16x16_On", [](int s) { return trayPicture(s, true); }) &&
              saveBoth(icons + "tapvela_Tray_Icone_16x16_Off", [](int s) { return trayPicture(s, false); }) &&
              writeFile(icons + "tapvela_Tray_Icone_16x16_On.ico", icoFile(trayPicture(1, true))) &&
              writeFile(icons + "tapvela_Tray_Icone_16x16_Off.ico", icoFile(trayPicture(1, false))) &&
              writeFile(icons + "tapvela_Icone_256x256.ico", icoFile(appIcon())) &&
              save(homeScreenIcon(192), homeScreen.filePath(QStringLiteral("icon-192.png"))) &&
              save(homeScreenIcon(512), homeScreen.filePath(QStringLiteral("icon-512.png")));
    for (int i = 0; ok && i < 6; ++i) {
        const QImage frame = sendingFrame(i);
        ok = save(frame, frames.filePath(QStringLiteral("frame_%1.png").arg(i)));
        if (ok && i < 4)
            ok = save(frame, images + QStringLiteral("sending_%1.png").arg(i));
    }
    return ok ? 0 : 1;
}
