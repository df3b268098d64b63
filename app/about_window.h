// The About window: logo and name, version, the official site's button and
// the rights line. One window, made on first use and shown again after.
#pragma once

#include <QtCore/QUrl>
#include <QtWidgets/QWidget>

class QLabel;
class QPlainTextEdit;

namespace ambrel::app {

class DesktopServices;
class LLCustomBtn;

// The width of a text in the application font of the given point size (bold
// when asked), measured as a block of at most 360 pixels that may wrap.
int widthForString(const QString& text, qreal fontSize, bool bold = false);

// The licence of the program and the libraries it uses, with theirs.
QString licenceText();

class AboutWindow : public QWidget
{
    Q_OBJECT
public:
    // `officialSite` is the address the official button opens; the button is
    // hidden when it is empty.
    AboutWindow(DesktopServices& desktop, const QString& officialSite, QWidget* parent = nullptr);

    void Show();
    void OfficialButtonEvent();

    static constexpr int kWidth = 420;
    static constexpr int kHeight = 460;
    // The upper part: logo, name, version and the site's button.
    static constexpr int kTop = 300;

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    void windowDidLoad();
    void setLanguage();

    DesktopServices& mDesktop;
    QUrl mOfficialSite;
    QLabel* mShowVersion = nullptr;
    LLCustomBtn* mOfficialButton = nullptr;
    QLabel* mAppName = nullptr;
    QLabel* mCompanyTitle = nullptr;
    QLabel* mLogo = nullptr;
    QPlainTextEdit* mLicences = nullptr;
};

}  // namespace ambrel::app
