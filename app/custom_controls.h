// The small controls of the windows: a link-style button that draws its own
// title, a view that acts as a button, plain colour views, the white table
// header, the button text colour, and the copy and paste keys of text fields.
#pragma once

#include <QtGui/QColor>
#include <QtGui/QFont>
#include <QtGui/QPixmap>
#include <QtWidgets/QHeaderView>
#include <QtWidgets/QPushButton>
#include <QtWidgets/QWidget>

namespace ambrel::app {

// Text decorations by number: 1 single underline, 2 double underline,
// 3 single strike-through, 4 double strike-through, anything else none.
enum TextLineStyle : int {
    kSingleUnderline = 1,
    kDoubleUnderline = 2,
    kSingleStrikeThrough = 3,
    kDoubleStrikeThrough = 4,
};

// Draws `text` in `bounds`: laid out at the bounds' width (it may wrap),
// vertically centred, horizontally at the left edge (Qt::AlignLeft), centred
// (Qt::AlignHCenter) or against the right edge (anything else), in `colour`,
// with the decoration of `lineStyle` in the same colour.
void drawDecoratedText(QPainter& painter, const QRectF& bounds, const QString& text, const QFont& font,
                       const QColor& colour, int lineStyle, Qt::Alignment alignment);

// A flat button that draws its own title with an optional decoration. Setting
// the title or its colour redraws it.
class LLButton : public QPushButton
{
    Q_OBJECT
public:
    explicit LLButton(QWidget* parent = nullptr);

    QString defaultTitle() const { return text(); }
    void setDefaultTitle(const QString& title);
    // Black until set.
    QColor defaultTitleColor() const { return mTitleColor; }
    void setDefaultTitleColor(const QColor& colour);
    int textUnderLineStyle() const { return mLineStyle; }
    void setTextUnderLineStyle(int style);
    Qt::Alignment textAlignment() const { return mAlignment; }
    void setTextAlignment(Qt::Alignment alignment);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QColor mTitleColor = Qt::black;
    int mLineStyle = 0;
    Qt::Alignment mAlignment = Qt::AlignHCenter;
};

// Corners of a rectangle, as flags.
enum RectCorner : unsigned {
    kTopLeftCorner = 1,
    kTopRightCorner = 2,
    kBottomLeftCorner = 4,
    kBottomRightCorner = 8,
    kAllCorners = 15,
};

// A plain view that acts as a button: a press inside it followed by a release
// inside it emits clicked(); a release outside does not. While pressed it is
// drawn with its "selected" look.
class LLCustomBtn : public QWidget
{
    Q_OBJECT
public:
    explicit LLCustomBtn(QWidget* parent = nullptr);

    bool isHandCursor() const { return mHandCursor; }
    void setHandCursor(bool hand);
    bool mouseDown() const { return mMouseDown; }

    void setRadius(qreal radius);
    // The corners that are rounded (all by default).
    void setRectCorners(unsigned corners);
    void setDefaultTitle(const QString& title);
    void setSelectedTitle(const QString& title);
    void setTextAlignment(Qt::Alignment alignment);
    void setTextUnderLineStyle(int style);
    void setDefaultTitleColor(const QColor& colour);
    void setSelectedTitleColor(const QColor& colour);
    void setDefaultFont(const QFont& font);
    void setSelectedFont(const QFont& font);
    void setDefaultBackgroundImage(const QPixmap& image);
    void setSelectedBackgroundImage(const QPixmap& image);
    void setDefaultBackgroundColor(const QColor& colour);
    void setSelectedBackgroundColor(const QColor& colour);

    QString defaultTitle() const { return mTitle[0]; }
    QSize sizeHint() const override;

signals:
    void clicked();

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    // Index 0: the default look; 1: while pressed.
    QString mTitle[2];
    QColor mTitleColor[2] = {Qt::black, Qt::black};
    QFont mFont[2];
    QPixmap mBackgroundImage[2];
    QColor mBackgroundColor[2] = {Qt::transparent, Qt::transparent};
    bool mFontSet[2] = {false, false};
    qreal mRadius = 0;
    unsigned mCorners = kAllCorners;
    Qt::Alignment mAlignment = Qt::AlignHCenter;
    int mLineStyle = 0;
    bool mHandCursor = false;
    bool mMouseDown = false;
};

// A view that fills its whole area with one colour.
class ColorView : public QWidget
{
    Q_OBJECT
public:
    enum class Fill {
        WhiteInLightAppearance,  // white under a light palette, clear otherwise
        MainInLightAppearance,   // the main purple (110, 57, 192) under a light palette, clear otherwise
        Gray,                    // gray 214
        White,                   // always white
    };

    explicit ColorView(Fill fill, QWidget* parent = nullptr);
    Fill fill() const { return mFill; }
    // The colour painted now; transparent when nothing is painted.
    QColor fillColour() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    Fill mFill;
};

// The table header: white, with the column titles in gray.
class TableHeaderWhiteView : public QHeaderView
{
    Q_OBJECT
public:
    explicit TableHeaderWhiteView(QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;
    void paintSection(QPainter* painter, const QRect& rect, int logicalIndex) const override;
};

// Whether the palette is a light one (a light window background).
bool isLightAppearance(const QPalette& palette);

// Sets the colour of a standard button's title.
void setTextColor(QAbstractButton* button, const QColor& colour);
QColor textColor(const QAbstractButton* button);

// The copy and paste keys of text fields: with exactly Ctrl held, C copies
// from and V pastes into the focused line edit or text edit; with any other
// modifiers the keys take their normal way. Install it on the application.
class CopyPasteKeys : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
};

// The colours of the window.
namespace colour {
inline const QColor kMain(110, 57, 192);  // the main purple
inline const QColor kLink(132, 92, 216);  // the open-folder and add buttons
inline const QColor kGray214(214, 214, 214);
}  // namespace colour

}  // namespace ambrel::app
