#include "app/custom_controls.h"

#include <QtGui/QKeyEvent>
#include <QtGui/QPainter>
#include <QtGui/QPainterPath>
#include <QtGui/QTextLayout>
#include <QtWidgets/QApplication>
#include <QtWidgets/QLineEdit>
#include <QtWidgets/QPlainTextEdit>
#include <QtWidgets/QStyleOption>
#include <QtWidgets/QStyleOptionButton>
#include <QtWidgets/QTextEdit>

#include <algorithm>
#include <cmath>

namespace ambrel::app {

void drawDecoratedText(QPainter& painter, const QRectF& bounds, const QString& text, const QFont& font,
                       const QColor& colour, int lineStyle, Qt::Alignment alignment)
{
    QTextLayout layout(text, font, painter.device());
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    layout.beginLayout();
    qreal height = 0;
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        line.setLineWidth(bounds.width());
        line.setPosition(QPointF(0, height));
        height += line.height();
    }
    layout.endLayout();

    const QFontMetricsF metrics(font, painter.device());
    const qreal thickness = std::max<qreal>(1.0, std::round(metrics.lineWidth()));
    const qreal top = bounds.top() + (bounds.height() - height) / 2;

    painter.save();
    painter.setPen(colour);
    for (int i = 0; i < layout.lineCount(); ++i) {
        const QTextLine line = layout.lineAt(i);
        const qreal width = line.naturalTextWidth();
        qreal x = bounds.left();
        if (alignment & Qt::AlignHCenter) {
            x += (bounds.width() - width) / 2;
        } else if (!(alignment & Qt::AlignLeft)) {
            x += bounds.width() - width;
        }
        line.draw(&painter, QPointF(x - line.x(), top));

        const qreal baseline = top + line.y() + line.ascent();
        std::vector<qreal> ys;
        switch (lineStyle) {
        case kSingleUnderline: ys = {baseline + metrics.underlinePos()}; break;
        case kDoubleUnderline:
            ys = {baseline + metrics.underlinePos(), baseline + metrics.underlinePos() + 2 * thickness};
            break;
        case kSingleStrikeThrough: ys = {baseline - metrics.strikeOutPos()}; break;
        case kDoubleStrikeThrough:
            ys = {baseline - metrics.strikeOutPos() - thickness, baseline - metrics.strikeOutPos() + thickness};
            break;
        default: break;
        }
        for (const qreal y : ys) {
            const qreal snapped = std::floor(y);
            painter.fillRect(QRectF(x, snapped, width, thickness), colour);
        }
    }
    painter.restore();
}

// --- LLButton ---

LLButton::LLButton(QWidget* parent) : QPushButton(parent)
{
    setFlat(true);
    setCursor(Qt::PointingHandCursor);
    // Reached by Tab like any button, and shows it has the focus.
    setFocusPolicy(Qt::StrongFocus);
}

void LLButton::setDefaultTitle(const QString& title)
{
    setText(title);
    update();
}

void LLButton::setDefaultTitleColor(const QColor& colour)
{
    mTitleColor = colour.isValid() ? colour : QColor(Qt::black);
    update();
}

void LLButton::setTextUnderLineStyle(int style)
{
    mLineStyle = style;
    update();
}

void LLButton::setTextAlignment(Qt::Alignment alignment)
{
    mAlignment = alignment;
    update();
}

void LLButton::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::TextAntialiasing);
    if (!isFlat()) {
        QStyleOptionButton option;
        initStyleOption(&option);
        option.text.clear();
        option.icon = QIcon();
        style()->drawControl(QStyle::CE_PushButtonBevel, &option, &painter, this);
    }
    QColor colour = mTitleColor;
    if (!isEnabled()) {
        colour.setAlphaF(0.4f);
    }
    drawDecoratedText(painter, QRectF(rect()), text(), font(), colour, mLineStyle, mAlignment);
    if (hasFocus()) {
        QStyleOptionFocusRect focus;
        focus.initFrom(this);
        style()->drawPrimitive(QStyle::PE_FrameFocusRect, &focus, &painter, this);
    }
}

// --- LLCustomBtn ---

LLCustomBtn::LLCustomBtn(QWidget* parent) : QWidget(parent)
{
    setAttribute(Qt::WA_Hover);
}

void LLCustomBtn::setHandCursor(bool hand)
{
    mHandCursor = hand;
    if (hand) {
        setCursor(Qt::PointingHandCursor);
    } else {
        unsetCursor();
    }
}

void LLCustomBtn::setRadius(qreal radius)
{
    mRadius = radius;
    update();
}

void LLCustomBtn::setRectCorners(unsigned corners)
{
    mCorners = corners;
    update();
}

void LLCustomBtn::setDefaultTitle(const QString& title)
{
    mTitle[0] = title;
    setAccessibleName(title);  // it draws its title itself
    updateGeometry();
    update();
}

void LLCustomBtn::setSelectedTitle(const QString& title)
{
    mTitle[1] = title;
    update();
}

void LLCustomBtn::setTextAlignment(Qt::Alignment alignment)
{
    mAlignment = alignment;
    update();
}

void LLCustomBtn::setTextUnderLineStyle(int style)
{
    mLineStyle = style;
    update();
}

void LLCustomBtn::setDefaultTitleColor(const QColor& colour)
{
    mTitleColor[0] = colour;
    update();
}

void LLCustomBtn::setSelectedTitleColor(const QColor& colour)
{
    mTitleColor[1] = colour;
    update();
}

void LLCustomBtn::setDefaultFont(const QFont& font)
{
    mFont[0] = font;
    mFontSet[0] = true;
    updateGeometry();
    update();
}

void LLCustomBtn::setSelectedFont(const QFont& font)
{
    mFont[1] = font;
    mFontSet[1] = true;
    update();
}

void LLCustomBtn::setDefaultBackgroundImage(const QPixmap& image)
{
    mBackgroundImage[0] = image;
    update();
}

void LLCustomBtn::setSelectedBackgroundImage(const QPixmap& image)
{
    mBackgroundImage[1] = image;
    update();
}

void LLCustomBtn::setDefaultBackgroundColor(const QColor& colour)
{
    mBackgroundColor[0] = colour;
    update();
}

void LLCustomBtn::setSelectedBackgroundColor(const QColor& colour)
{
    mBackgroundColor[1] = colour;
    update();
}

QSize LLCustomBtn::sizeHint() const
{
    const QFontMetrics metrics(mFontSet[0] ? mFont[0] : font());
    return QSize(metrics.horizontalAdvance(mTitle[0]) + 32, metrics.height() + 16);
}

void LLCustomBtn::paintEvent(QPaintEvent*)
{
    // The selected look falls back on the default one where it is not set.
    const int look = mMouseDown ? 1 : 0;
    const auto pick = [look](const auto& values, auto isSet) { return isSet(values[look]) ? values[look] : values[0]; };
    const QString title = pick(mTitle, [](const QString& t) { return !t.isEmpty(); });
    const QColor titleColour = pick(mTitleColor, [](const QColor& c) { return c.isValid(); });
    const QColor background = pick(mBackgroundColor, [](const QColor& c) { return c.isValid() && c.alpha() > 0; });
    const QPixmap image = pick(mBackgroundImage, [](const QPixmap& p) { return !p.isNull(); });
    const QFont titleFont = mFontSet[look] ? mFont[look] : (mFontSet[0] ? mFont[0] : font());

    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF area = QRectF(rect());
    const qreal r = std::min({mRadius, area.width() / 2, area.height() / 2});
    QPainterPath shape;
    shape.moveTo(area.left() + ((mCorners & kTopLeftCorner) ? r : 0), area.top());
    // Each corner is rounded or square by its flag.
    const auto corner = [&](unsigned which, QPointF square, QRectF arcBox, qreal startAngle) {
        if (mCorners & which) {
            shape.arcTo(arcBox, startAngle, -90);
        } else {
            shape.lineTo(square);
        }
    };
    corner(kTopRightCorner, area.topRight(), QRectF(area.right() - 2 * r, area.top(), 2 * r, 2 * r), 90);
    corner(kBottomRightCorner, area.bottomRight(), QRectF(area.right() - 2 * r, area.bottom() - 2 * r, 2 * r, 2 * r),
           0);
    corner(kBottomLeftCorner, area.bottomLeft(), QRectF(area.left(), area.bottom() - 2 * r, 2 * r, 2 * r), 270);
    corner(kTopLeftCorner, area.topLeft(), QRectF(area.left(), area.top(), 2 * r, 2 * r), 180);
    shape.closeSubpath();

    painter.setClipPath(shape);
    if (background.isValid() && background.alpha() > 0) {
        painter.fillPath(shape, background);
    }
    if (!image.isNull()) {
        painter.drawPixmap(rect(), image);
    }
    painter.setClipping(false);
    drawDecoratedText(painter, area, title, titleFont, titleColour, mLineStyle, mAlignment);
}

void LLCustomBtn::mousePressEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint())) {
        mMouseDown = true;
        update();
    }
    event->accept();
}

void LLCustomBtn::mouseReleaseEvent(QMouseEvent* event)
{
    const bool wasDown = mMouseDown;
    mMouseDown = false;
    update();
    event->accept();
    if (wasDown && event->button() == Qt::LeftButton && rect().contains(event->position().toPoint())) {
        emit clicked();
    }
}

// --- colour views ---

bool isLightAppearance(const QPalette& palette)
{
    return palette.color(QPalette::Window).lightness() >= 128;
}

ColorView::ColorView(Fill fill, QWidget* parent) : QWidget(parent), mFill(fill) {}

QColor ColorView::fillColour() const
{
    switch (mFill) {
    case Fill::WhiteInLightAppearance:
        return isLightAppearance(palette()) ? QColor(Qt::white) : QColor(Qt::transparent);
    case Fill::MainInLightAppearance: return isLightAppearance(palette()) ? colour::kMain : QColor(Qt::transparent);
    case Fill::Gray: return colour::kGray214;
    case Fill::White: return Qt::white;
    }
    return Qt::transparent;
}

void ColorView::paintEvent(QPaintEvent*)
{
    const QColor fill = fillColour();
    if (fill.alpha() > 0) {
        QPainter painter(this);
        painter.fillRect(rect(), fill);
    }
}

// --- the table header ---

TableHeaderWhiteView::TableHeaderWhiteView(QWidget* parent) : QHeaderView(Qt::Horizontal, parent)
{
    setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    setHighlightSections(false);
    setSectionsClickable(false);
}

void TableHeaderWhiteView::paintEvent(QPaintEvent* event)
{
    {
        QPainter painter(viewport());
        painter.fillRect(viewport()->rect(), Qt::white);
        painter.fillRect(QRect(0, viewport()->height() - 1, viewport()->width(), 1), colour::kGray214);
    }
    QHeaderView::paintEvent(event);
}

void TableHeaderWhiteView::paintSection(QPainter* painter, const QRect& rect, int logicalIndex) const
{
    painter->save();
    painter->fillRect(rect, Qt::white);
    painter->fillRect(QRect(rect.left(), rect.bottom(), rect.width(), 1), colour::kGray214);
    painter->setPen(QColor(120, 120, 130));
    const QString title = model() != nullptr ? model()->headerData(logicalIndex, orientation()).toString() : QString();
    painter->drawText(rect.adjusted(8, 0, -4, 0), Qt::AlignLeft | Qt::AlignVCenter, title);
    painter->restore();
}

// --- button text colour ---

void setTextColor(QAbstractButton* button, const QColor& colour)
{
    QPalette palette = button->palette();
    for (const auto group : {QPalette::Active, QPalette::Inactive}) {
        palette.setColor(group, QPalette::ButtonText, colour);
        palette.setColor(group, QPalette::WindowText, colour);
    }
    button->setPalette(palette);
}

QColor textColor(const QAbstractButton* button)
{
    return button->palette().color(QPalette::Active, QPalette::ButtonText);
}

// --- copy and paste keys ---

namespace {

// The key when exactly Ctrl is held with C or V; 0 otherwise.
int copyPasteKey(const QKeyEvent* key)
{
    const Qt::KeyboardModifiers modifiers = key->modifiers() & ~Qt::KeypadModifier;
    if (modifiers != Qt::ControlModifier) {
        return 0;
    }
    return key->key() == Qt::Key_C || key->key() == Qt::Key_V ? key->key() : 0;
}

}  // namespace

bool CopyPasteKeys::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() != QEvent::KeyPress && event->type() != QEvent::ShortcutOverride) {
        return QObject::eventFilter(watched, event);
    }
    QWidget* focus = QApplication::focusWidget();
    if (watched != focus) {
        return QObject::eventFilter(watched, event);
    }
    const int key = copyPasteKey(static_cast<QKeyEvent*>(event));
    auto* line = qobject_cast<QLineEdit*>(focus);
    auto* text = qobject_cast<QTextEdit*>(focus);
    auto* plain = qobject_cast<QPlainTextEdit*>(focus);
    if (key == 0 || (line == nullptr && text == nullptr && plain == nullptr)) {
        return QObject::eventFilter(watched, event);
    }
    if (event->type() == QEvent::ShortcutOverride) {
        event->accept();  // the field takes the key, not a window shortcut
        return true;
    }
    const bool copy = key == Qt::Key_C;
    if (line != nullptr) {
        copy ? line->copy() : line->paste();
    } else if (text != nullptr) {
        copy ? text->copy() : text->paste();
    } else {
        copy ? plain->copy() : plain->paste();
    }
    return true;
}

}  // namespace ambrel::app
