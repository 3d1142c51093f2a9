// The main window as it opens: its controls, their order and focus, what it shows at first,
// that every text is readable at any font, and the About entry of its context menu.

#include "operation/OperationState.h"
#include "support/GuiFixture.h"
#include "support/ModalDriver.h"
#include "ui/AStatic.h"
#include "ui/CTarvoDlg.h"

#include <QAction>
#include <QApplication>
#include <QContextMenuEvent>
#include <QGroupBox>
#include <QLabel>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>

#include <memory>

namespace {

const QStringList ButtonsInTabOrder = {"m_btnSelectUnzip",     "m_btnUnzip", "m_btnSelectZipFile",
                                       "m_btnSelectZipFolder", "m_btnZip",   "m_btnMore"};

// A shown main window with the application font set for its lifetime.
struct ShownWindow {
    explicit ShownWindow(const QFont& font = QFont()) : previousFont(QApplication::font()) {
        if (font != QFont())
            QApplication::setFont(font);
        window = std::make_unique<CTarvoDlg>();
        window->show();
    }
    ~ShownWindow() {
        window.reset();
        QApplication::setFont(previousFont);
    }
    QFont previousFont;
    std::unique_ptr<CTarvoDlg> window;
};

QPushButton* Button(QWidget* window, const QString& name) {
    return window->findChild<QPushButton*>(name);
}

} // namespace

class TestMainWindow : public QObject {
    Q_OBJECT

private slots:
    void init() { GuiFixture::ResetOperationState(); }

    void windowIsAFixedDialogWithoutMaximiseButton() {
        ShownWindow shown;
        CTarvoDlg& window = *shown.window;
        QCOMPARE(window.windowTitle(), QStringLiteral("Tarvo 1.0"));
        QCOMPARE(window.minimumSize(), window.maximumSize());
        QVERIFY(!window.windowFlags().testFlag(Qt::WindowMaximizeButtonHint));
        QVERIFY(window.windowFlags().testFlag(Qt::WindowMinimizeButtonHint));
        QVERIFY(window.windowFlags().testFlag(Qt::WindowCloseButtonHint));
        QVERIFY(!window.windowIcon().isNull());
    }

    void formHoldsTwentyFiveControlsAndTheStatus() {
        ShownWindow shown;
        const auto children = shown.window->findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
        QCOMPARE(children.size(), 26);
        QCOMPARE(shown.window->findChildren<QPushButton*>().size(), 6);
        QCOMPARE(shown.window->findChildren<QGroupBox*>().size(), 3);
        QCOMPARE(shown.window->findChildren<QProgressBar*>().size(), 1);
        // Frames hold no controls of their own: everything sits directly on the window.
        for (QGroupBox* frame : shown.window->findChildren<QGroupBox*>())
            QVERIFY(frame->findChildren<QWidget*>().isEmpty());
    }

    void tabVisitsTheButtonsInFormOrder() {
        ShownWindow shown;
        CTarvoDlg& window = *shown.window;
        QApplication::setActiveWindow(&window);
        QVERIFY(QTest::qWaitForWindowActive(&window));
        QCOMPARE(QApplication::focusWidget(), Button(&window, "m_btnSelectUnzip"));
        // Twice round: after MORE the focus comes back to the first button.
        for (int round = 0; round < 2; ++round) {
            for (int i = 1; i <= ButtonsInTabOrder.size(); ++i) {
                QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
                const QString expected = ButtonsInTabOrder.at(i % ButtonsInTabOrder.size());
                QCOMPARE(QApplication::focusWidget()->objectName(), expected);
            }
        }
    }

    void onlyButtonsTakeTheFocus() {
        ShownWindow shown;
        for (QWidget* child : shown.window->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
            const bool button = qobject_cast<QPushButton*>(child) != nullptr;
            QCOMPARE(child->focusPolicy() != Qt::NoFocus, button);
        }
    }

    // Frames and the status label lie over the buttons; the clicks must still reach them.
    void everyButtonGetsTheClicksOnIt() {
        ShownWindow shown;
        for (const QString& name : ButtonsInTabOrder) {
            QPushButton* button = Button(shown.window.get(), name);
            QVERIFY(button);
            for (const QPoint& spot :
                 {button->geometry().center(), button->geometry().topLeft() + QPoint(2, 2),
                  button->geometry().bottomRight() - QPoint(2, 2)})
                QCOMPARE(shown.window->childAt(spot), button);
        }
    }

    void textsAreWholeAtAnyFont_data() {
        QTest::addColumn<QString>("family");
        QTest::addColumn<int>("pointSize");
        QTest::newRow("default font") << QString() << 0;
        QTest::newRow("small font") << QString() << 6;
        QTest::newRow("large font") << QString() << 20;
        QTest::newRow("monospace font, wide blanks") << QStringLiteral("DejaVu Sans Mono") << 11;
    }

    void textsAreWholeAtAnyFont() {
        QFETCH(QString, family);
        QFETCH(int, pointSize);
        QFont font = QApplication::font();
        if (!family.isEmpty())
            font.setFamily(family);
        if (pointSize > 0)
            font.setPointSize(pointSize);
        ShownWindow shown(font);
        CTarvoDlg& window = *shown.window;
        const QRect area = window.rect();
        for (QLabel* label : window.findChildren<QLabel*>(Qt::FindDirectChildrenOnly)) {
            const QFontMetrics metrics(label->font());
            const QString text = label->text();
            const QRect needed(label->pos(),
                               QSize(metrics.horizontalAdvance(text), metrics.height()));
            QVERIFY2(label->geometry().contains(needed),
                     qPrintable(QStringLiteral("\"%1\" is cut: %2x%3 for %4x%5")
                                    .arg(text)
                                    .arg(label->width())
                                    .arg(label->height())
                                    .arg(needed.width())
                                    .arg(needed.height())));
            QVERIFY2(area.contains(needed), qPrintable(text + " runs out of the window"));
        }
        for (QPushButton* button : window.findChildren<QPushButton*>()) {
            const QFontMetrics metrics(button->font());
            QVERIFY2(button->width() > metrics.horizontalAdvance(button->text()),
                     qPrintable(button->text()));
            QVERIFY2(area.contains(button->geometry()), qPrintable(button->text()));
        }
        // The status reads on after its caption without writing over it.
        auto* caption = window.findChild<QLabel*>("m_lblFileSelection");
        AStatic* status = GuiFixture::StatusLabel(&window);
        QVERIFY(status);
        const int captionEnd =
            caption->x() + caption->fontMetrics().horizontalAdvance(caption->text());
        QVERIFY(status->x() + 2 > captionEnd);
        QCOMPARE(status->x() + status->width(), window.width());
    }

    void freshWindowShowsNothingSelected() {
        OperationState& state = OperationState::Instance();
        // What a window finds must not matter: it starts from nothing selected.
        state.directMode = true;
        state.progressCount = 42;
        state.zipSelected = true;
        state.unzipSelected = true;
        state.busy = true;
        ShownWindow shown;
        CTarvoDlg& window = *shown.window;

        QVERIFY(!state.directMode);
        QCOMPARE(state.progressCount.load(), 0);
        QVERIFY(!state.zipSelected);
        QVERIFY(!state.unzipSelected);
        QVERIFY(!state.busy);

        AStatic* status = GuiFixture::StatusLabel(&window);
        QVERIFY(status);
        QCOMPARE(status->text(), QStringLiteral("No file or folder has been selected !"));
        QCOMPARE(status->TextColor(), QColor(200, 0, 0));
        QCOMPARE(window.focusWidget(), Button(&window, "m_btnSelectUnzip"));

        auto* bar = window.findChild<QProgressBar*>("m_progress");
        QCOMPARE(bar->value(), 0);
        QCOMPARE(bar->minimum(), 0);
        QCOMPARE(bar->maximum(), 100);
        QVERIFY(!bar->isTextVisible());
        for (QPushButton* button : window.findChildren<QPushButton*>())
            QVERIFY(button->isEnabled() && button->isVisible());
    }

    void contextMenuOpensAbout() {
        ShownWindow shown;
        CTarvoDlg& window = *shown.window;
        QStringList menuTexts;
        // The menu is a popup, not a modal: it is answered when it shows up.
        QTimer popupWatch;
        popupWatch.setInterval(5);
        connect(&popupWatch, &QTimer::timeout, this, [&] {
            if (auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget())) {
                popupWatch.stop();
                for (QAction* action : menu->actions())
                    menuTexts << action->text();
                if (!menu->actions().isEmpty())
                    menu->actions().constFirst()->trigger();
                menu->close();
            }
        });
        popupWatch.start();
        ModalDriver driver;
        driver.Then(Answers::PressEscape());

        // What a right click on one of the texts sends; the label passes it on to the window.
        QWidget* anywhere = window.findChild<QLabel*>("m_lblUnzipStep4");
        QContextMenuEvent rightClick(QContextMenuEvent::Mouse, QPoint(5, 5),
                                     anywhere->mapToGlobal(QPoint(5, 5)));
        QApplication::sendEvent(anywhere, &rightClick);
        QTRY_COMPARE(menuTexts, QStringList{QStringLiteral("&About Tarvo...")});
        QTRY_COMPARE(driver.Seen().size(), 1);
        QCOMPARE(driver.Seen().constFirst().kind, QStringLiteral("CAboutDlg"));
        QCOMPARE(driver.Seen().constFirst().owner, &window);
        QTRY_VERIFY(!QApplication::activeModalWidget());
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
