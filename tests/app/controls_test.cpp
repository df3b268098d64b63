// The small controls: the decorations LLButton draws, LLCustomBtn's press and
// release, the colour views and the white header, and the copy and paste keys.
#include <QtCore/QTimer>
#include <QtGui/QAccessible>
#include <QtGui/QClipboard>
#include <QtGui/QPainter>
#include <QtTest/QSignalSpy>
#include <QtWidgets/QApplication>
#include <QtWidgets/QComboBox>
#include <QtWidgets/QLineEdit>
#include <QtWidgets/QMessageBox>
#include <QtWidgets/QStyle>
#include <QtWidgets/QTableView>

#include "app/about_window.h"
#include "app/app_delegate.h"
#include "app/custom_controls.h"
#include "app/file_table.h"
#include "tests/app/app_test_support.h"

using namespace apptest;

namespace {

bool near(QColor a, QColor b)
{
    return std::abs(a.red() - b.red()) + std::abs(a.green() - b.green()) + std::abs(a.blue() - b.blue()) < 60;
}

// The rows of the picture in which one run of the colour is at least
// `length` pixels long, grouped into bands of neighbouring rows: the centre
// row of each band.
std::vector<int> horizontalLines(const QImage& image, QColor colour, int length)
{
    std::vector<int> bands;
    int bandStart = -1;
    for (int y = 0; y <= image.height(); ++y) {
        int longest = 0;
        int run = 0;
        for (int x = 0; y < image.height() && x < image.width(); ++x) {
            run = near(image.pixelColor(x, y), colour) ? run + 1 : 0;
            longest = std::max(longest, run);
        }
        if (longest >= length && bandStart < 0) {
            bandStart = y;
        } else if (longest < length && bandStart >= 0) {
            bands.push_back((bandStart + y - 1) / 2);
            bandStart = -1;
        }
    }
    return bands;
}

}  // namespace

class ControlsTest : public QObject
{
    Q_OBJECT

private slots:
    void llButtonDrawsItsDecoration_data()
    {
        QTest::addColumn<int>("style");
        QTest::addColumn<int>("lines");
        QTest::addColumn<bool>("belowText");
        QTest::newRow("none") << 0 << 0 << false;
        QTest::newRow("single underline") << 1 << 1 << true;
        QTest::newRow("double underline") << 2 << 2 << true;
        QTest::newRow("single strike-through") << 3 << 1 << false;
        QTest::newRow("double strike-through") << 4 << 2 << false;
        QTest::newRow("unknown style") << 7 << 0 << false;
    }

    void llButtonDrawsItsDecoration()
    {
        QFETCH(int, style);
        QFETCH(int, lines);
        QFETCH(bool, belowText);
        const QColor purple(110, 57, 192);
        ambrel::app::LLButton button;
        QFont font = button.font();
        font.setPixelSize(28);
        button.setFont(font);
        button.setDefaultTitle(QStringLiteral("全部删除"));
        button.setDefaultTitleColor(purple);
        button.setTextUnderLineStyle(style);
        button.resize(240, 80);

        QImage image(button.size(), QImage::Format_RGB32);
        image.fill(Qt::white);
        button.render(&image, {}, {}, QWidget::DrawChildren);

        const int textWidth = QFontMetrics(font).horizontalAdvance(button.defaultTitle());
        const std::vector<int> found = horizontalLines(image, purple, textWidth * 9 / 10);
        QCOMPARE(static_cast<int>(found.size()), lines);
        // Underlines lie below the text's baseline, strike-throughs across its middle.
        const QFontMetrics metrics(font);
        const int baseline = (button.height() - metrics.height()) / 2 + metrics.ascent();
        for (const int y : found) {
            if (belowText) {
                QVERIFY2(y >= baseline - 1, qPrintable(QString("line at %1, baseline %2").arg(y).arg(baseline)));
            } else {
                QVERIFY2(y < baseline - 2 && y > baseline - metrics.ascent(),
                         qPrintable(QString("line at %1, baseline %2").arg(y).arg(baseline)));
            }
        }
    }

    void llCustomBtnSendsOnlyAReleaseInside()
    {
        ambrel::app::LLCustomBtn button;
        button.resize(120, 40);
        button.setDefaultTitle(QStringLiteral("官网"));
        button.setHandCursor(true);
        QCOMPARE(button.cursor().shape(), Qt::PointingHandCursor);
        QSignalSpy clicked(&button, &ambrel::app::LLCustomBtn::clicked);

        QTest::mousePress(&button, Qt::LeftButton, {}, QPoint(60, 20));
        QVERIFY(button.mouseDown());
        QTest::mouseRelease(&button, Qt::LeftButton, {}, QPoint(100, 30));
        QVERIFY(!button.mouseDown());
        QCOMPARE(clicked.count(), 1);

        QTest::mousePress(&button, Qt::LeftButton, {}, QPoint(60, 20));
        QTest::mouseRelease(&button, Qt::LeftButton, {}, QPoint(200, 20));
        QVERIFY(!button.mouseDown());
        QCOMPARE(clicked.count(), 1);

        button.setHandCursor(false);
        QCOMPARE(button.cursor().shape(), Qt::ArrowCursor);
    }

    void colourViewsFillByAppearance_data()
    {
        QTest::addColumn<int>("fill");
        QTest::addColumn<bool>("lightPalette");
        QTest::addColumn<QColor>("expected");  // invalid: nothing painted
        using Fill = ambrel::app::ColorView::Fill;
        QTest::newRow("white, light") << int(Fill::WhiteInLightAppearance) << true << QColor(Qt::white);
        QTest::newRow("white, dark") << int(Fill::WhiteInLightAppearance) << false << QColor();
        QTest::newRow("main, light") << int(Fill::MainInLightAppearance) << true << QColor(110, 57, 192);
        QTest::newRow("main, dark") << int(Fill::MainInLightAppearance) << false << QColor();
        QTest::newRow("gray, dark") << int(Fill::Gray) << false << QColor(214, 214, 214);
        QTest::newRow("always white, dark") << int(Fill::White) << false << QColor(Qt::white);
    }

    void colourViewsFillByAppearance()
    {
        QFETCH(int, fill);
        QFETCH(bool, lightPalette);
        QFETCH(QColor, expected);
        ambrel::app::ColorView view(static_cast<ambrel::app::ColorView::Fill>(fill));
        QPalette palette = view.palette();
        palette.setColor(QPalette::Window, lightPalette ? QColor(240, 240, 240) : QColor(40, 40, 40));
        view.setPalette(palette);
        view.resize(20, 20);

        const QColor marker(0, 200, 0);
        QImage image(view.size(), QImage::Format_RGB32);
        image.fill(marker);
        view.render(&image, {}, {}, QWidget::DrawChildren);
        QCOMPARE(image.pixelColor(10, 10), expected.isValid() ? expected : marker);
    }

    void tableHeaderIsWhite()
    {
        ambrel::app::FileTableModel model;
        QTableView table;
        table.setHorizontalHeader(new ambrel::app::TableHeaderWhiteView(&table));
        table.setModel(&model);
        table.resize(600, 200);
        table.show();
        QVERIFY(QTest::qWaitForWindowExposed(&table));
        const QImage header = table.horizontalHeader()->grab().toImage();
        // Past the last title's text: plain white, whatever the style's header looks like.
        const int x = table.horizontalHeader()->sectionViewportPosition(ambrel::app::FileTableModel::DeleteColumn) +
                      table.horizontalHeader()->sectionSize(ambrel::app::FileTableModel::DeleteColumn) - 3;
        QCOMPARE(header.pixelColor(std::max(0, x), header.height() / 4), QColor(Qt::white));
        QCOMPARE(header.pixelColor(2, header.height() / 2), QColor(Qt::white));
    }

    void qtAlertsAnswerWithTheButtonsIndex()
    {
        QWidget window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        ambrel::app::QtDialogs dialogs;
        QString shownText;
        QTimer::singleShot(0, [&shownText] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (box == nullptr) {
                return;
            }
            shownText = box->informativeText();
            for (QAbstractButton* button : box->buttons()) {
                if (button->text() == QStringLiteral("取消")) {
                    button->click();
                }
            }
        });
        const int answer = dialogs.runAlert(&window, {"提示", "是否立即清空列表？", {"立即清空", "取消"}});
        QCOMPARE(shownText, QStringLiteral("是否立即清空列表？"));
        QCOMPARE(answer, 1);

        // The sheet stays open on the window and returns at once.
        dialogs.showSheetAlert(&window, {"提示", "恭喜您，已经成功转换 3 张图片", {"确定"}});
        auto* sheet = window.findChild<QMessageBox*>();
        QVERIFY(sheet != nullptr);
        QTRY_VERIFY(sheet->isVisible());
        QCOMPARE(sheet->windowModality(), Qt::WindowModal);
        QCOMPARE(sheet->text(), QStringLiteral("提示"));
        QCOMPARE(sheet->informativeText(), QStringLiteral("恭喜您，已经成功转换 3 张图片"));
        sheet->close();
    }

    void copyAndPasteNeedExactlyCtrl()
    {
        QWidget window;
        auto* field = new QLineEdit(&window);
        field->setText(QStringLiteral("/home/a/图片"));
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        window.activateWindow();
        field->setFocus();
        QTRY_COMPARE(QApplication::focusWidget(), field);
        QClipboard* clipboard = QGuiApplication::clipboard();

        clipboard->setText(QStringLiteral("before"));
        field->selectAll();
        QTest::keyClick(field, Qt::Key_C, Qt::ControlModifier | Qt::ShiftModifier);
        QCOMPARE(clipboard->text(), QStringLiteral("before"));
        QCOMPARE(field->selectedText(), field->text());
        QTest::keyClick(field, Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(clipboard->text(), QStringLiteral("/home/a/图片"));

        clipboard->setText(QStringLiteral("/srv/out"));
        field->clear();
        QTest::keyClick(field, Qt::Key_V, Qt::ControlModifier | Qt::ShiftModifier);
        QCOMPARE(field->text(), QString());
        QTest::keyClick(field, Qt::Key_V, Qt::ControlModifier);
        QCOMPARE(field->text(), QStringLiteral("/srv/out"));
    }

    // The desktop's font size, palette and style are kept.
    void applicationKeepsTheDesktopLook()
    {
        const QFont oldFont = QApplication::font();
        const QPalette oldPalette = QApplication::palette();
        const QString oldStyle = QApplication::style()->name();
        QFont large = oldFont;
        large.setPointSizeF(14.5);
        QApplication::setFont(large);
        QPalette dark = oldPalette;
        dark.setColor(QPalette::Window, QColor(30, 30, 34));
        dark.setColor(QPalette::Base, QColor(20, 20, 24));
        dark.setColor(QPalette::WindowText, QColor(230, 230, 230));
        QApplication::setPalette(dark);

        ambrel::app::applyApplicationLook(*qApp);
        const double size = QApplication::font().pointSizeF();
        const QColor window = QApplication::palette().color(QPalette::Window);
        const QString style = QApplication::style()->name();
        {
            // Under a dark palette the window paints none of its light backgrounds.
            FreshCacheFolder cache;
            ControllerFixture f;
            const QImage shot = f.view().grab().toImage();
            const QPoint inList = f.view().tableView()->mapTo(&f.view(), f.view().tableView()->rect().center());
            QVERIFY(shot.pixelColor(inList).lightness() < 128);
            QVERIFY(shot.pixelColor(f.view().width() / 2, f.view().height() - 4).lightness() < 128);
        }
        QApplication::setFont(oldFont);
        QApplication::setPalette(oldPalette);
        ambrel::app::applyApplicationLook(*qApp);
        QCOMPARE(size, 14.5);
        QCOMPARE(window, QColor(30, 30, 34));
        QCOMPARE(style, oldStyle);
    }

    // Rows are chosen with the keyboard; Delete removes them, Enter previews.
    void keyboardSelectsRemovesAndPreviews()
    {
        QTemporaryDir dir;
        QStringList paths;
        for (const char* name : {"a.heic", "b.heic", "c.heic", "d.heic"}) {
            paths.append(dir.filePath(name));
            writeFile(paths.back(), gridHeic());
        }
        FreshCacheFolder cache;
        ControllerFixture f;
        f.dialogs.panelAnswers.push_back(paths);
        f.view().AddHeicFileBtEvent();
        f.click("SaveHEICPath");
        QVERIFY(f.runJob());
        QTableView* table = f.view().tableView();
        QVERIFY(table->focusPolicy() & Qt::TabFocus);
        table->setFocus();
        QTRY_VERIFY(table->hasFocus());

        QTest::keyClick(table, Qt::Key_Home, Qt::ControlModifier);
        QTest::keyClick(table, Qt::Key_Down, Qt::ShiftModifier);
        QCOMPARE(table->selectionModel()->selectedRows().size(), 2);
        QTest::keyClick(table, Qt::Key_Delete);
        QCOMPARE(f.model().count(), 2);
        QCOMPARE(QString::fromStdString(f.model().record(0).heicPath), paths[2]);

        QTest::keyClick(table, Qt::Key_End, Qt::ControlModifier);
        QTest::keyClick(table, Qt::Key_Return);
        QVERIFY(f.preview.isVisible());
        QCOMPARE(f.preview.currentItem(), QUrl::fromLocalFile(QString::fromStdString(f.model().record(1).toPath)));
        f.preview.close();
        QTest::keyClick(table, Qt::Key_Space);  // the row's preview action
        QVERIFY(f.preview.isVisible());
        f.preview.close();
        QTest::keyClick(table, Qt::Key_Backspace);
        QCOMPARE(f.model().count(), 1);
    }

    void everyControlHasAnAccessibleName()
    {
        FreshCacheFolder cache;
        ControllerFixture f;
        FakeDesktop desktop;
        ambrel::app::AboutWindow about(desktop, QStringLiteral("https://example.org"));
        QList<QWidget*> controls;
        for (QWidget* root : {static_cast<QWidget*>(&f.view()), static_cast<QWidget*>(&about)}) {
            for (QWidget* widget : root->findChildren<QWidget*>()) {
                // The table's own parts (its hidden corner button) are Qt's.
                if (qobject_cast<QTableView*>(widget->parentWidget()) != nullptr) {
                    continue;
                }
                if (qobject_cast<QAbstractButton*>(widget) != nullptr || qobject_cast<QComboBox*>(widget) != nullptr ||
                    qobject_cast<QLineEdit*>(widget) != nullptr || qobject_cast<QTableView*>(widget) != nullptr ||
                    qobject_cast<ambrel::app::LLCustomBtn*>(widget) != nullptr) {
                    controls.append(widget);
                }
            }
        }
        QVERIFY(controls.size() >= 14);
        for (QWidget* control : controls) {
            QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(control);
            QVERIFY(accessible != nullptr);
            QVERIFY2(!accessible->text(QAccessible::Name).trimmed().isEmpty(),
                     qPrintable(control->objectName() + ' ' + control->metaObject()->className()));
        }
    }
};

APPTEST_SUITE("Controls", ControlsTest);

#include "controls_test.moc"

using namespace ambrel::convert;
using namespace ambrel::app;
