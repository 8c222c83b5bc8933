// Draws the client's built-in pictures (login background, covers, room and whiteboard icons)
// into client/resources. Run: lectern-resgen <client/resources folder>
#include <QDir>
#include <QFileInfo>
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QTextStream>

#include <cstdio>
#include <functional>
#include <tuple>

namespace {

const QColor kBlue(0x33, 0xAB, 0xEF);
const QColor kOffGrey(0x9A, 0x9C, 0xA3);
const QColor kInk(0x4A, 0x4D, 0x55);
const QString kCjkFont = QStringLiteral("WenQuanYi Zen Hei");

QString g_outDir;
int g_failures = 0;

void save(const QImage& image, const QString& name)
{
    const QString path = g_outDir + QLatin1Char('/') + name;
    QDir().mkpath(QFileInfo(path).absolutePath());
    if (!image.save(path, "PNG")) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        ++g_failures;
    }
}

void drawIcon(const QString& name, int size, const std::function<void(QPainter&)>& paint)
{
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    // Shapes are drawn on a 48-unit grid and scaled to the picture's size.
    p.scale(size / 48.0, size / 48.0);
    paint(p);
    p.end();
    save(image, name);
}

QPen strokePen(const QColor& color, qreal width)
{
    return QPen(color, width, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
}

void slash(QPainter& p, const QColor& color)
{
    p.setPen(strokePen(QColor(0x32, 0x33, 0x38), 7));
    p.drawLine(QPointF(9, 9), QPointF(39, 39));
    p.setPen(strokePen(color, 3.5));
    p.drawLine(QPointF(9, 9), QPointF(39, 39));
}

void microphone(QPainter& p, const QColor& color, bool filled, bool off)
{
    p.setPen(strokePen(color, 3));
    p.setBrush(filled ? QBrush(color) : Qt::NoBrush);
    p.drawRoundedRect(QRectF(18, 6, 12, 22), 6, 6);
    p.setBrush(Qt::NoBrush);
    QPainterPath cup;
    cup.moveTo(12, 22);
    cup.cubicTo(12, 38, 36, 38, 36, 22);
    p.drawPath(cup);
    p.drawLine(QPointF(24, 34), QPointF(24, 41));
    p.drawLine(QPointF(17, 42), QPointF(31, 42));
    if (off)
        slash(p, color);
}

void speaker(QPainter& p, const QColor& color, bool filled, bool off)
{
    p.setPen(strokePen(color, 3));
    p.setBrush(filled ? QBrush(color) : Qt::NoBrush);
    QPainterPath cone;
    cone.moveTo(7, 19);
    cone.lineTo(14, 19);
    cone.lineTo(24, 10);
    cone.lineTo(24, 38);
    cone.lineTo(14, 29);
    cone.lineTo(7, 29);
    cone.closeSubpath();
    p.drawPath(cone);
    p.setBrush(Qt::NoBrush);
    if (off) {
        p.drawLine(QPointF(30, 18), QPointF(41, 30));
        p.drawLine(QPointF(41, 18), QPointF(30, 30));
        return;
    }
    p.drawArc(QRectF(20, 16, 14, 16), -60 * 16, 120 * 16);
    p.drawArc(QRectF(18, 9, 24, 30), -60 * 16, 120 * 16);
}

void camera(QPainter& p, const QColor& color, bool filled, bool off)
{
    p.setPen(strokePen(color, 3));
    p.setBrush(filled ? QBrush(color) : Qt::NoBrush);
    p.drawRoundedRect(QRectF(5, 14, 27, 20), 4, 4);
    QPainterPath lens;
    lens.moveTo(32, 21);
    lens.lineTo(43, 15);
    lens.lineTo(43, 33);
    lens.lineTo(32, 27);
    lens.closeSubpath();
    p.drawPath(lens);
    if (filled) {
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(0x32, 0x33, 0x38));
        p.drawEllipse(QPointF(18.5, 24), 4, 4);
    }
    if (off)
        slash(p, color);
}

void screen(QPainter& p, const QColor& color, bool filled)
{
    p.setPen(strokePen(color, 3));
    p.setBrush(filled ? QBrush(color) : Qt::NoBrush);
    p.drawRoundedRect(QRectF(5, 8, 38, 26), 3, 3);
    p.setBrush(Qt::NoBrush);
    p.drawLine(QPointF(24, 34), QPointF(24, 40));
    p.drawLine(QPointF(15, 41), QPointF(33, 41));
    // The share arrow inside the screen.
    const QColor arrow = filled ? Qt::white : color;
    p.setPen(strokePen(arrow, 2.5));
    QPainterPath path;
    path.moveTo(15, 28);
    path.cubicTo(15, 20, 20, 17, 29, 17);
    p.drawPath(path);
    p.drawLine(QPointF(29, 17), QPointF(25, 13.5));
    p.drawLine(QPointF(29, 17), QPointF(25, 20.5));
}

void playTriangle(QPainter& p, const QColor& color, const QPointF& centre, qreal size)
{
    QPainterPath tri;
    tri.moveTo(centre.x() - size * 0.4, centre.y() - size * 0.55);
    tri.lineTo(centre.x() + size * 0.6, centre.y());
    tri.lineTo(centre.x() - size * 0.4, centre.y() + size * 0.55);
    tri.closeSubpath();
    p.setPen(strokePen(color, 2));
    p.setBrush(color);
    p.drawPath(tri);
}

void roomIcons()
{
    drawIcon("icons/microphone.png", 48, [](QPainter& p) { microphone(p, kBlue, true, false); });
    drawIcon("icons/microphone1.png", 48, [](QPainter& p) { microphone(p, kOffGrey, false, true); });
    drawIcon("icons/volume.png", 48, [](QPainter& p) { speaker(p, kBlue, true, false); });
    drawIcon("icons/volume1.png", 48, [](QPainter& p) { speaker(p, kOffGrey, false, true); });
    drawIcon("icons/camera.png", 48, [](QPainter& p) { camera(p, kBlue, true, false); });
    drawIcon("icons/camera1.png", 48, [](QPainter& p) { camera(p, kOffGrey, false, true); });
    drawIcon("icons/screen.png", 48, [](QPainter& p) { screen(p, kBlue, true); });
    drawIcon("icons/screen1.png", 48, [](QPainter& p) { screen(p, kOffGrey, false); });

    // Member-list microphone: a round badge on the white list.
    drawIcon("icons/stu-mic-on.png", 50, [](QPainter& p) {
        p.setPen(Qt::NoPen);
        p.setBrush(kBlue);
        p.drawEllipse(QRectF(1, 1, 46, 46));
        p.translate(24, 24);
        p.scale(0.72, 0.72);
        p.translate(-24, -24);
        microphone(p, Qt::white, true, false);
    });
    drawIcon("icons/stu-mic-off.png", 50, [](QPainter& p) {
        p.setPen(strokePen(QColor(0xC4, 0xC7, 0xCC), 2));
        p.setBrush(QColor(0xF1, 0xF2, 0xF4));
        p.drawEllipse(QRectF(2, 2, 44, 44));
        p.translate(24, 24);
        p.scale(0.72, 0.72);
        p.translate(-24, -24);
        microphone(p, QColor(0x9A, 0x9C, 0xA3), false, false);
        p.setPen(strokePen(QColor(0x9A, 0x9C, 0xA3), 3.5));
        p.drawLine(QPointF(9, 9), QPointF(39, 39));
    });

    // Start-class badge at the left of the blue button, and its disabled look.
    auto start = [](QPainter& p, const QColor& color) {
        p.setPen(strokePen(color, 3.5));
        p.setBrush(Qt::NoBrush);
        p.drawEllipse(QRectF(5, 5, 38, 38));
        playTriangle(p, color, QPointF(24, 24), 17);
    };
    drawIcon("icons/start.png", 48, [&](QPainter& p) { start(p, Qt::white); });
    drawIcon("icons/start-disable.png", 48, [&](QPainter& p) { start(p, QColor(0xB8, 0xBA, 0xBF)); });

    drawIcon("icons/pause.png", 48, [](QPainter& p) {
        p.setPen(Qt::NoPen);
        p.setBrush(kBlue);
        p.drawEllipse(QRectF(4, 4, 40, 40));
        p.setBrush(Qt::white);
        p.drawRoundedRect(QRectF(16, 14, 5.5, 20), 1.5, 1.5);
        p.drawRoundedRect(QRectF(26.5, 14, 5.5, 20), 1.5, 1.5);
    });
    drawIcon("icons/resume.png", 48, [](QPainter& p) {
        p.setPen(strokePen(kOffGrey, 3));
        p.setBrush(Qt::NoBrush);
        p.drawEllipse(QRectF(5, 5, 38, 38));
        playTriangle(p, kOffGrey, QPointF(24, 24), 16);
    });

    drawIcon("icons/time.png", 25, [](QPainter& p) {
        p.setPen(strokePen(Qt::white, 3.5));
        p.setBrush(Qt::NoBrush);
        p.drawEllipse(QRectF(6, 6, 36, 36));
        p.drawLine(QPointF(24, 24), QPointF(24, 13));
        p.drawLine(QPointF(24, 24), QPointF(32, 28));
    });
    drawIcon("icons/up-triangle.png", 10, [](QPainter& p) {
        QPainterPath tri;
        tri.moveTo(24, 10);
        tri.lineTo(42, 38);
        tri.lineTo(6, 38);
        tri.closeSubpath();
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(0xD8, 0xDA, 0xDE));
        p.drawPath(tri);
    });

    // A blank whiteboard page.
    QImage blank(960, 540, QImage::Format_RGB32);
    blank.fill(Qt::white);
    {
        QPainter p(&blank);
        p.setPen(QPen(QColor(0xE2, 0xE4, 0xE8), 2));
        p.drawRect(QRectF(1, 1, 958, 538));
    }
    save(blank, "icons/blank.png");
}

void paintIcons()
{
    for (int diameter : { 4, 8, 12 }) {
        drawIcon(QStringLiteral("paint/circle%1.png").arg(diameter), 24, [diameter](QPainter& p) {
            p.resetTransform();
            p.setPen(Qt::NoPen);
            p.setBrush(kInk);
            p.drawEllipse(QPointF(12, 12), diameter / 2.0, diameter / 2.0);
        });
    }
    drawIcon("paint/pen.png", 48, [](QPainter& p) {
        p.translate(24, 24);
        p.rotate(45);
        p.setPen(strokePen(kInk, 3));
        p.setBrush(Qt::NoBrush);
        p.drawRoundedRect(QRectF(-5, -20, 10, 28), 1.5, 1.5);
        p.drawLine(QPointF(-5, -14), QPointF(5, -14));
        QPainterPath tip;
        tip.moveTo(-5, 8);
        tip.lineTo(0, 19);
        tip.lineTo(5, 8);
        p.drawPath(tip);
        p.setBrush(kInk);
        p.drawEllipse(QPointF(0, 17), 1.2, 1.2);
    });
    drawIcon("paint/text.png", 48, [](QPainter& p) {
        p.setPen(Qt::NoPen);
        p.setBrush(kInk);
        p.drawRect(QRectF(9, 8, 30, 6));
        p.drawRect(QRectF(21, 8, 6, 32));
        p.drawRect(QRectF(16, 36, 16, 4));
    });
    drawIcon("paint/rect.png", 48, [](QPainter& p) {
        p.setPen(strokePen(kInk, 3.5));
        p.setBrush(Qt::NoBrush);
        p.drawRoundedRect(QRectF(8, 11, 32, 26), 2.5, 2.5);
    });
    drawIcon("paint/arrow.png", 48, [](QPainter& p) {
        p.setPen(strokePen(kInk, 3.5));
        p.drawLine(QPointF(10, 38), QPointF(36, 12));
        QPainterPath head;
        head.moveTo(39, 9);
        head.lineTo(37, 22);
        head.lineTo(26, 11);
        head.closeSubpath();
        p.setBrush(kInk);
        p.setPen(strokePen(kInk, 2));
        p.drawPath(head);
    });
    drawIcon("paint/move.png", 48, [](QPainter& p) {
        p.setPen(strokePen(kInk, 3));
        p.drawLine(QPointF(24, 8), QPointF(24, 40));
        p.drawLine(QPointF(8, 24), QPointF(40, 24));
        p.setBrush(kInk);
        p.setPen(strokePen(kInk, 1.5));
        for (int quarter = 0; quarter < 4; ++quarter) {
            p.save();
            p.translate(24, 24);
            p.rotate(90 * quarter);
            QPainterPath head;
            head.moveTo(0, -20);
            head.lineTo(6, -13);
            head.lineTo(-6, -13);
            head.closeSubpath();
            p.drawPath(head);
            p.restore();
        }
    });
    drawIcon("paint/delete.png", 48, [](QPainter& p) {
        // An eraser: a tilted block with a light rubber end.
        p.translate(24, 24);
        p.rotate(-40);
        p.setPen(strokePen(kInk, 3));
        p.setBrush(Qt::NoBrush);
        p.drawRoundedRect(QRectF(-17, -8, 34, 16), 3, 3);
        p.setBrush(kInk);
        p.drawRoundedRect(QRectF(-17, -8, 13, 16), 3, 3);
    });
    drawIcon("paint/clear.png", 48, [](QPainter& p) {
        // A waste bin: empties the whole page.
        p.setPen(strokePen(kInk, 3));
        p.setBrush(Qt::NoBrush);
        p.drawLine(QPointF(8, 13), QPointF(40, 13));
        p.drawLine(QPointF(19, 13), QPointF(20, 7));
        p.drawLine(QPointF(20, 7), QPointF(28, 7));
        p.drawLine(QPointF(28, 7), QPointF(29, 13));
        QPainterPath bin;
        bin.moveTo(12, 13);
        bin.lineTo(14.5, 41);
        bin.lineTo(33.5, 41);
        bin.lineTo(36, 13);
        p.drawPath(bin);
        p.drawLine(QPointF(20, 19), QPointF(20.5, 35));
        p.drawLine(QPointF(28, 19), QPointF(27.5, 35));
    });
}

// A curved arrow that turns back to the left (undo) or, mirrored, to the right (redo).
void turnArrow(QPainter& p, const QColor& color, bool mirrored)
{
    if (mirrored) {
        p.translate(48, 0);
        p.scale(-1, 1);
    }
    p.setPen(strokePen(color, 3.5));
    p.setBrush(Qt::NoBrush);
    QPainterPath path;
    path.moveTo(14, 19);
    path.lineTo(29, 19);
    path.cubicTo(36, 19, 40, 24, 40, 29.5);
    path.cubicTo(40, 35, 36, 40, 29, 40);
    path.lineTo(20, 40);
    p.drawPath(path);
    QPainterPath head;
    head.moveTo(8, 19);
    head.lineTo(17, 11);
    head.lineTo(17, 27);
    head.closeSubpath();
    p.setPen(strokePen(color, 2));
    p.setBrush(color);
    p.drawPath(head);
}

void boardIcons()
{
    const QColor disabled(0xB8, 0xBA, 0xBF);
    drawIcon("paint/undo.png", 48, [](QPainter& p) { turnArrow(p, kInk, false); });
    drawIcon("paint/undo-disable.png", 48, [&](QPainter& p) { turnArrow(p, disabled, false); });
    drawIcon("paint/redo.png", 48, [](QPainter& p) { turnArrow(p, kInk, true); });
    drawIcon("paint/redo-disable.png", 48, [&](QPainter& p) { turnArrow(p, disabled, true); });
    drawIcon("paint/laser.png", 48, [](QPainter& p) {
        // A pointer pen whose beam ends in a red spot.
        p.save();
        p.translate(30, 30);
        p.rotate(45);
        p.setPen(strokePen(kInk, 3));
        p.setBrush(Qt::NoBrush);
        p.drawRoundedRect(QRectF(-4.5, -6, 9, 24), 3, 3);
        p.setBrush(kInk);
        p.drawRect(QRectF(-2, -9.5, 4, 3.5));
        p.restore();
        p.setPen(QPen(QColor(0xFF, 0x35, 0x37), 2, Qt::DashLine, Qt::RoundCap));
        p.drawLine(QPointF(21, 21), QPointF(13, 13));
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(0xFF, 0x35, 0x37));
        p.drawEllipse(QPointF(10, 10), 4.5, 4.5);
    });
}

void dropdown()
{
    QImage image(16, 16, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    QPainterPath tri;
    tri.moveTo(3, 6);
    tri.lineTo(13, 6);
    tri.lineTo(8, 11.5);
    tri.closeSubpath();
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x66, 0x68, 0x6E));
    p.drawPath(tri);
    p.end();
    save(image, "dropdown.png");
}

// The brand mark: a rounded screen with a play sign.
void brandMark(QPainter& p, const QRectF& box, const QColor& screenColor, const QColor& signColor)
{
    p.setPen(Qt::NoPen);
    p.setBrush(screenColor);
    p.drawRoundedRect(box, box.height() * 0.18, box.height() * 0.18);
    const qreal s = box.height() * 0.5;
    QPainterPath tri;
    tri.moveTo(box.center().x() - s * 0.35, box.center().y() - s * 0.5);
    tri.lineTo(box.center().x() + s * 0.55, box.center().y());
    tri.lineTo(box.center().x() - s * 0.35, box.center().y() + s * 0.5);
    tri.closeSubpath();
    p.setBrush(signColor);
    p.drawPath(tri);
}

void defaultCover()
{
    QImage image(400, 224, QImage::Format_RGB32);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient sky(0, 0, 400, 224);
    sky.setColorAt(0, QColor(0x2B, 0x8F, 0xD6));
    sky.setColorAt(1, QColor(0x1B, 0x4F, 0x8A));
    p.fillRect(image.rect(), sky);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(255, 255, 255, 22));
    p.drawEllipse(QPointF(340, 30), 110, 110);
    p.drawEllipse(QPointF(40, 210), 80, 80);
    // A blackboard with chalk lines.
    p.setBrush(QColor(0x1E, 0x3A, 0x2F));
    p.setPen(QPen(QColor(0xC8, 0x9B, 0x5E), 6));
    p.drawRoundedRect(QRectF(120, 42, 160, 100), 6, 6);
    p.setPen(strokePen(QColor(255, 255, 255, 200), 3));
    p.drawLine(QPointF(140, 70), QPointF(220, 70));
    p.drawLine(QPointF(140, 90), QPointF(250, 90));
    p.drawLine(QPointF(140, 110), QPointF(200, 110));
    brandMark(p, QRectF(236, 100, 34, 26), kBlue, Qt::white);
    QFont font(kCjkFont);
    font.setPixelSize(26);
    font.setBold(true);
    p.setFont(font);
    p.setPen(Qt::white);
    p.drawText(QRectF(0, 156, 400, 40), Qt::AlignCenter, QStringLiteral("Tutorline 直播课堂"));
    p.end();
    save(image, "defaultcover.png");
}

void loginBackground()
{
    QImage image(800, 600, QImage::Format_RGB32);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);

    QLinearGradient sky(0, 0, 0, 600);
    sky.setColorAt(0, QColor(0x1C, 0x5A, 0x9C));
    sky.setColorAt(1, QColor(0x0C, 0x22, 0x42));
    p.fillRect(image.rect(), sky);
    p.setPen(Qt::NoPen);
    for (const auto& spot : { std::make_tuple(660.0, 90.0, 220.0), std::make_tuple(110.0, 520.0, 180.0),
             std::make_tuple(760.0, 560.0, 120.0) }) {
        QRadialGradient glow(std::get<0>(spot), std::get<1>(spot), std::get<2>(spot));
        glow.setColorAt(0, QColor(0x5F, 0xC4, 0xFF, 70));
        glow.setColorAt(1, QColor(0x5F, 0xC4, 0xFF, 0));
        p.setBrush(glow);
        p.drawEllipse(QPointF(std::get<0>(spot), std::get<1>(spot)), std::get<2>(spot), std::get<2>(spot));
    }

    // The card that holds the form.
    const QRectF card(230, 110, 360, 360);
    p.setBrush(QColor(0x06, 0x14, 0x2A, 150));
    p.setPen(QPen(QColor(255, 255, 255, 40), 1));
    p.drawRoundedRect(card, 14, 14);

    brandMark(p, QRectF(383, 136, 54, 40), kBlue, Qt::white);

    QFont title(kCjkFont);
    title.setPixelSize(30);
    title.setBold(true);
    p.setFont(title);
    p.setPen(Qt::white);
    p.drawText(QRectF(230, 184, 360, 44), Qt::AlignCenter, QStringLiteral("Tutorline直播助手"));
    QFont subtitle(kCjkFont);
    subtitle.setPixelSize(14);
    p.setFont(subtitle);
    p.setPen(QColor(0xB8, 0xD4, 0xF0));
    p.drawText(QRectF(230, 228, 360, 24), Qt::AlignCenter, QStringLiteral("教师登录"));

    // Field boxes under the transparent edits: dark enough for their white text.
    QFont label(kCjkFont);
    label.setPixelSize(16);
    p.setFont(label);
    const QRectF fields[] = { QRectF(320, 278, 216, 40), QRectF(320, 332, 216, 40) };
    const QString labels[] = { QStringLiteral("账号"), QStringLiteral("密码") };
    for (int i = 0; i < 2; ++i) {
        p.setPen(QColor(0xDD, 0xEA, 0xF7));
        p.drawText(
            QRectF(250, fields[i].y(), 58, fields[i].height()), Qt::AlignRight | Qt::AlignVCenter, labels[i]);
        p.setPen(QPen(QColor(0x4F, 0x8F, 0xCF), 1));
        p.setBrush(QColor(0x0A, 0x1A, 0x30));
        p.drawRoundedRect(fields[i].adjusted(0.5, 0.5, -0.5, -0.5), 4, 4);
    }

    const QRectF button(290, 387, 240, 40);
    QLinearGradient face(0, button.top(), 0, button.bottom());
    face.setColorAt(0, QColor(0x4D, 0xBB, 0xF6));
    face.setColorAt(1, QColor(0x1E, 0x96, 0xDE));
    p.setPen(Qt::NoPen);
    p.setBrush(face);
    p.drawRoundedRect(button, 5, 5);
    QFont buttonFont(kCjkFont);
    buttonFont.setPixelSize(18);
    buttonFont.setBold(true);
    p.setFont(buttonFont);
    p.setPen(Qt::white);
    p.drawText(button, Qt::AlignCenter, QStringLiteral("登录"));

    QFont footer(kCjkFont);
    footer.setPixelSize(12);
    p.setFont(footer);
    p.setPen(QColor(0x8F, 0xAE, 0xCC));
    p.drawText(QRectF(0, 560, 800, 24), Qt::AlignCenter, QStringLiteral("Tutorline 在线课堂 · 教师端"));
    p.end();
    save(image, "login.png");
}

} // namespace

int main(int argc, char* argv[])
{
    QGuiApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: lectern-resgen <client/resources folder>\n");
        return 2;
    }
    g_outDir = QString::fromLocal8Bit(argv[1]);
    loginBackground();
    defaultCover();
    dropdown();
    roomIcons();
    paintIcons();
    boardIcons();
    return g_failures == 0 ? 0 : 1;
}
