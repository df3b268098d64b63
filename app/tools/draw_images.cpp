// Draws the application's pictures: the six button and state images, the
// picture of the empty list, and the application icon.
//
//   ambrel-draw-images app/resources
//
// writes images/*.png and icons/ambrel-*.png below the given folder. The
// pictures are plain vector drawings, so they are drawn at 64 pixels and
// scaled down where they are shown.
#include <QtCore/QDir>
#include <QtGui/QGuiApplication>
#include <QtGui/QImage>
#include <QtGui/QLinearGradient>
#include <QtGui/QPainter>
#include <QtGui/QPainterPath>

#include <cstdio>
#include <functional>

namespace {

const QColor kPurple(110, 57, 192);
const QColor kLightPurple(132, 92, 216);
const QColor kGreen(46, 170, 96);
const QColor kGray(168, 168, 176);
const QColor kRed(214, 69, 65);

using Drawing = std::function<void(QPainter&, double size)>;

bool save(const QString& path, int size, const Drawing& draw)
{
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    draw(painter, size);
    painter.end();
    if (!image.save(path, "PNG")) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return false;
    }
    return true;
}

QPen roundPen(const QColor& colour, double width)
{
    return QPen(colour, width, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
}

// Start: a white ring with a play triangle (shown on the purple button).
void drawToBt(QPainter& p, double s)
{
    p.setPen(roundPen(Qt::white, s * 0.08));
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(QRectF(s * 0.08, s * 0.08, s * 0.84, s * 0.84));
    QPainterPath triangle;
    triangle.moveTo(s * 0.40, s * 0.30);
    triangle.lineTo(s * 0.72, s * 0.50);
    triangle.lineTo(s * 0.40, s * 0.70);
    triangle.closeSubpath();
    p.setPen(roundPen(Qt::white, s * 0.05));
    p.setBrush(Qt::white);
    p.drawPath(triangle);
}

// Stop: a white ring with a rounded square.
void drawStopBt(QPainter& p, double s)
{
    p.setPen(roundPen(Qt::white, s * 0.08));
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(QRectF(s * 0.08, s * 0.08, s * 0.84, s * 0.84));
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    p.drawRoundedRect(QRectF(s * 0.34, s * 0.34, s * 0.32, s * 0.32), s * 0.05, s * 0.05);
}

// Not converted yet: a gray clock face.
void drawNoTo(QPainter& p, double s)
{
    p.setPen(roundPen(kGray, s * 0.09));
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(QRectF(s * 0.09, s * 0.09, s * 0.82, s * 0.82));
    p.drawLine(QPointF(s * 0.5, s * 0.5), QPointF(s * 0.5, s * 0.27));
    p.drawLine(QPointF(s * 0.5, s * 0.5), QPointF(s * 0.68, s * 0.6));
}

// Converted: a green disc with a white tick.
void drawToComplete(QPainter& p, double s)
{
    p.setPen(Qt::NoPen);
    p.setBrush(kGreen);
    p.drawEllipse(QRectF(s * 0.04, s * 0.04, s * 0.92, s * 0.92));
    QPainterPath tick;
    tick.moveTo(s * 0.28, s * 0.52);
    tick.lineTo(s * 0.44, s * 0.67);
    tick.lineTo(s * 0.73, s * 0.36);
    p.setPen(roundPen(Qt::white, s * 0.11));
    p.setBrush(Qt::NoBrush);
    p.drawPath(tick);
}

// Preview: a purple eye.
void drawPreBt(QPainter& p, double s)
{
    QPainterPath eye;
    eye.moveTo(s * 0.06, s * 0.5);
    eye.quadTo(s * 0.5, s * 0.06, s * 0.94, s * 0.5);
    eye.quadTo(s * 0.5, s * 0.94, s * 0.06, s * 0.5);
    p.setPen(roundPen(kPurple, s * 0.08));
    p.setBrush(Qt::NoBrush);
    p.drawPath(eye);
    p.setPen(Qt::NoPen);
    p.setBrush(kPurple);
    p.drawEllipse(QPointF(s * 0.5, s * 0.5), s * 0.15, s * 0.15);
}

// Delete: a red waste bin.
void drawDeleteBt(QPainter& p, double s)
{
    p.setPen(roundPen(kRed, s * 0.08));
    p.setBrush(Qt::NoBrush);
    p.drawLine(QPointF(s * 0.14, s * 0.22), QPointF(s * 0.86, s * 0.22));
    p.drawLine(QPointF(s * 0.38, s * 0.22), QPointF(s * 0.42, s * 0.1));
    p.drawLine(QPointF(s * 0.42, s * 0.1), QPointF(s * 0.58, s * 0.1));
    p.drawLine(QPointF(s * 0.58, s * 0.1), QPointF(s * 0.62, s * 0.22));
    QPainterPath bin;
    bin.moveTo(s * 0.22, s * 0.3);
    bin.lineTo(s * 0.28, s * 0.9);
    bin.lineTo(s * 0.72, s * 0.9);
    bin.lineTo(s * 0.78, s * 0.3);
    p.drawPath(bin);
    p.drawLine(QPointF(s * 0.42, s * 0.42), QPointF(s * 0.43, s * 0.78));
    p.drawLine(QPointF(s * 0.58, s * 0.42), QPointF(s * 0.57, s * 0.78));
}

// The picture of a photo: a frame with a sun and two hills.
void drawPhoto(QPainter& p, const QRectF& r, const QColor& frame, const QColor& fill, const QColor& ink)
{
    p.setPen(roundPen(frame, r.width() * 0.06));
    p.setBrush(fill);
    p.drawRoundedRect(r, r.width() * 0.1, r.width() * 0.1);
    p.setPen(Qt::NoPen);
    p.setBrush(ink);
    p.drawEllipse(QPointF(r.left() + r.width() * 0.7, r.top() + r.height() * 0.3), r.width() * 0.09, r.width() * 0.09);
    QPainterPath hills;
    hills.moveTo(r.left() + r.width() * 0.1, r.bottom() - r.height() * 0.12);
    hills.lineTo(r.left() + r.width() * 0.38, r.top() + r.height() * 0.42);
    hills.lineTo(r.left() + r.width() * 0.58, r.top() + r.height() * 0.66);
    hills.lineTo(r.left() + r.width() * 0.7, r.top() + r.height() * 0.55);
    hills.lineTo(r.right() - r.width() * 0.1, r.bottom() - r.height() * 0.12);
    hills.closeSubpath();
    p.drawPath(hills);
}

// The empty list: a photo with a plus badge.
void drawAddHeic(QPainter& p, double s)
{
    drawPhoto(p, QRectF(s * 0.08, s * 0.16, s * 0.68, s * 0.6), kGray, QColor(246, 244, 250), kGray);
    p.setPen(Qt::NoPen);
    p.setBrush(kLightPurple);
    p.drawEllipse(QPointF(s * 0.74, s * 0.74), s * 0.19, s * 0.19);
    p.setPen(roundPen(Qt::white, s * 0.06));
    p.drawLine(QPointF(s * 0.74, s * 0.64), QPointF(s * 0.74, s * 0.84));
    p.drawLine(QPointF(s * 0.64, s * 0.74), QPointF(s * 0.84, s * 0.74));
}

// The application icon: a purple tile with a photo and a converting arrow.
void drawAppIcon(QPainter& p, double s)
{
    QLinearGradient gradient(0, 0, s, s);
    gradient.setColorAt(0, kLightPurple);
    gradient.setColorAt(1, kPurple);
    p.setPen(Qt::NoPen);
    p.setBrush(gradient);
    p.drawRoundedRect(QRectF(s * 0.04, s * 0.04, s * 0.92, s * 0.92), s * 0.2, s * 0.2);
    drawPhoto(p, QRectF(s * 0.18, s * 0.2, s * 0.5, s * 0.44), Qt::white, Qt::transparent, Qt::white);
    QPainterPath arrow;
    arrow.moveTo(s * 0.3, s * 0.76);
    arrow.cubicTo(s * 0.5, s * 0.86, s * 0.7, s * 0.82, s * 0.8, s * 0.58);
    p.setPen(roundPen(Qt::white, s * 0.06));
    p.setBrush(Qt::NoBrush);
    p.drawPath(arrow);
    QPainterPath head;
    head.moveTo(s * 0.7, s * 0.6);
    head.lineTo(s * 0.81, s * 0.52);
    head.lineTo(s * 0.87, s * 0.65);
    p.drawPath(head);
}

}  // namespace

int main(int argc, char** argv)
{
    QGuiApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: ambrel-draw-images RESOURCE_FOLDER\n");
        return 2;
    }
    const QDir root(QString::fromLocal8Bit(argv[1]));
    if (!root.mkpath("images") || !root.mkpath("icons")) {
        std::fprintf(stderr, "cannot create the folders in %s\n", argv[1]);
        return 1;
    }
    bool ok = true;
    ok &= save(root.filePath("images/ToBt.png"), 64, drawToBt);
    ok &= save(root.filePath("images/StopBt.png"), 64, drawStopBt);
    ok &= save(root.filePath("images/NoTo.png"), 64, drawNoTo);
    ok &= save(root.filePath("images/ToComplete.png"), 64, drawToComplete);
    ok &= save(root.filePath("images/PreBt.png"), 64, drawPreBt);
    ok &= save(root.filePath("images/DeleteBt.png"), 64, drawDeleteBt);
    ok &= save(root.filePath("images/AddHeic.png"), 128, drawAddHeic);
    for (int size : {48, 64, 256}) {
        ok &= save(root.filePath(QString("icons/ambrel-%1.png").arg(size)), size, drawAppIcon);
    }
    return ok ? 0 : 1;
}
