// The main window as it opens and as it is seen: its buttons' order and focus, that every text is
// readable at any font, the About entry of its context menu, and the status label: its colour,
// how a long text is shortened and runs on, and that every change replaces the label without
// leaving anything of the earlier text behind.

#include "operation/OperationState.h"
#include "support/GuiFixture.h"
#include "support/ModalDriver.h"
#include "ui/AStatic.h"
#include "ui/CTarvoDlg.h"

#include <QAction>
#include <QApplication>
#include <QContextMenuEvent>
#include <QLabel>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>

#include <algorithm>
#include <memory>

namespace {

const QStringList ButtonsInTabOrder = {"m_btnSelectUnzip",     "m_btnUnzip", "m_btnSelectZipFile",
                                       "m_btnSelectZipFolder", "m_btnZip",   "m_btnMore"};
const QRgb Red = qRgb(200, 0, 0);
const QRgb Green = qRgb(0, 155, 0);
// A full block: a glyph without side bearings, so its ink starts where the text starts.
const QString Block = QString(QChar(0x2588));

QImage Screen(QWidget& window) {
    return window.grab().toImage().convertToFormat(QImage::Format_RGB32);
}

// The rectangle holding every pixel that shows some of this text colour, smoothed edges
// included: the window and its controls are grey, so any clear tint of the colour's own channel
// comes from the text. Null when there is none.
QRect Extent(const QImage& image, QRgb colour) {
    QRect extent;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const QRgb pixel = image.pixel(x, y);
            const int red = qRed(pixel), green = qGreen(pixel), blue = qBlue(pixel);
            if (colour == Red ? red - std::max(green, blue) > 30 : green - std::max(red, blue) > 30)
                extent |= QRect(x, y, 1, 1);
        }
    return extent;
}

} // namespace

class TestMainWindow : public QObject {
    Q_OBJECT

private slots:
    void init() {
        GuiFixture::ResetOperationState();
        m_window = std::make_unique<CTarvoDlg>();
        m_window->show();
    }
    void cleanup() {
        m_window.reset();
        QApplication::setFont(m_font);
    }

    // Twice round: after MORE the focus comes back to the first button, and nothing but the
    // buttons takes it.
    void tabVisitsTheButtonsInFormOrder() {
        QApplication::setActiveWindow(m_window.get());
        QVERIFY(QTest::qWaitForWindowActive(m_window.get()));
        QCOMPARE(QApplication::focusWidget(), Button("m_btnSelectUnzip"));
        for (int i = 1; i <= 2 * ButtonsInTabOrder.size(); ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            QCOMPARE(QApplication::focusWidget()->objectName(),
                     ButtonsInTabOrder.at(i % ButtonsInTabOrder.size()));
        }
    }

    // Frames and the status label lie over the buttons; the clicks must still reach them, also
    // under a status text that runs to the window's edge.
    void everyButtonGetsTheClicksOnIt() {
        m_window->ShowStatus(QString(84, 'W'), 1);
        for (const QString& name : ButtonsInTabOrder) {
            const QRect area = Button(name)->geometry();
            for (const QPoint& spot :
                 {area.center(), area.topLeft() + QPoint(2, 2), area.bottomRight() - QPoint(2, 2)})
                QCOMPARE(m_window->childAt(spot), Button(name));
        }
        // MORE is drawn over the text.
        const QImage screen = Screen(*m_window);
        QVERIFY(Extent(screen.copy(Button("m_btnMore")->geometry().adjusted(2, 2, -2, -2)), Red)
                    .isNull());
    }

    void textsAreWholeAtAnyFont_data() {
        QTest::addColumn<QString>("family");
        QTest::addColumn<int>("pointSize");
        QTest::newRow("default font") << QString() << 0;
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
        QApplication::setFont(font);
        m_window = std::make_unique<CTarvoDlg>();
        m_window->show();
        const QRect area = m_window->rect();
        for (QLabel* label : m_window->findChildren<QLabel*>(Qt::FindDirectChildrenOnly)) {
            const QRect needed(label->pos(),
                               QSize(label->fontMetrics().horizontalAdvance(label->text()),
                                     label->fontMetrics().height()));
            QVERIFY2(label->geometry().contains(needed), qPrintable(label->text() + " is cut"));
            QVERIFY2(area.contains(needed), qPrintable(label->text() + " runs out of the window"));
        }
        for (QPushButton* button : m_window->findChildren<QPushButton*>()) {
            QVERIFY2(button->width() > button->fontMetrics().horizontalAdvance(button->text()),
                     qPrintable(button->text()));
            QVERIFY2(area.contains(button->geometry()), qPrintable(button->text()));
        }
        // The status reads on after its caption without writing over it.
        auto* caption = m_window->findChild<QLabel*>("m_lblFileSelection");
        AStatic* status = GuiFixture::StatusLabel(m_window.get());
        QVERIFY(status->x() + 2 >
                caption->x() + caption->fontMetrics().horizontalAdvance(caption->text()));
        QCOMPARE(status->x() + status->width(), m_window->width());
    }

    void freshWindowShowsNothingSelected() {
        // What a window finds must not matter: it starts from nothing selected.
        OperationState& state = OperationState::Instance();
        state.directMode = state.zipSelected = state.unzipSelected = state.busy = true;
        state.progressCount = 42;
        m_window = std::make_unique<CTarvoDlg>();
        m_window->show();
        QVERIFY(!state.directMode && !state.zipSelected && !state.unzipSelected && !state.busy);
        QCOMPARE(state.progressCount.load(), 0);
        AStatic* status = GuiFixture::StatusLabel(m_window.get());
        QCOMPARE(status->text(), QStringLiteral("No file or folder has been selected !"));
        QCOMPARE(status->TextColor().rgb(), Red);
        QCOMPARE(m_window->focusWidget(), Button("m_btnSelectUnzip"));
        QCOMPARE(m_window->findChild<QProgressBar*>("m_progress")->value(), 0);
    }

    void contextMenuOpensAbout() {
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
        QWidget* anywhere = m_window->findChild<QLabel*>("m_lblUnzipStep4");
        QContextMenuEvent rightClick(QContextMenuEvent::Mouse, QPoint(5, 5),
                                     anywhere->mapToGlobal(QPoint(5, 5)));
        QApplication::sendEvent(anywhere, &rightClick);
        QTRY_COMPARE(menuTexts, QStringList{QStringLiteral("&About Tarvo...")});
        QTRY_COMPARE(driver.Seen().size(), 1);
        QCOMPARE(driver.Seen().constFirst().kind, QStringLiteral("CAboutDlg"));
        QCOMPARE(driver.Seen().constFirst().owner, m_window.get());
        QTRY_VERIFY(!QApplication::activeModalWidget());
    }

    // How the colour is drawn is seen in longStatusRunsOnToTheEdgeAndGoesWhole.
    void statusColourFollowsTheWarningFlag_data() {
        QTest::addColumn<int>("warning");
        QTest::addColumn<QRgb>("colour");
        QTest::newRow("warning set: red") << 1 << Red;
        QTest::newRow("warning clear: green") << 0 << Green;
        QTest::newRow("negative warning: red") << -1 << Red;
    }
    void statusColourFollowsTheWarningFlag() {
        QFETCH(int, warning);
        QFETCH(QRgb, colour);
        m_window->ShowStatus(QStringLiteral("Something to read"), warning);
        AStatic* status = GuiFixture::StatusLabel(m_window.get());
        QCOMPARE(status->TextColor().rgb(), colour);
    }

    void longStatusIsShortenedWhereItIsDrawn_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("drawn");
        const QString eighty = QString("0123456789").repeated(8);
        QTest::newRow("80 units are drawn whole") << eighty << eighty;
        QTest::newRow("81 units: the first 80 and four dots") << eighty + "X" << eighty + "....";
        QTest::newRow("200 units: the first 80 and four dots")
            << QString(200, 'w') << QString(80, 'w') + "....";
        QTest::newRow("empty text") << QString() << QString();
        const QString face = QString::fromUtf8("\xF0\x9F\x98\x80"); // two UTF-16 units
        QTest::newRow("units, not characters, are counted")
            << QString(40, 'a') + face.repeated(20) << QString(40, 'a') + face.repeated(20);
        QTest::newRow("a surrogate pair across the cut is left out whole")
            << QString(79, 'a') + face + "b" << QString(79, 'a') + "....";
    }
    void longStatusIsShortenedWhereItIsDrawn() {
        QFETCH(QString, text);
        QFETCH(QString, drawn);
        m_window->ShowStatus(text, 1);
        AStatic* status = GuiFixture::StatusLabel(m_window.get());
        QCOMPARE(status->text(), text);
        QCOMPARE(status->DisplayedText(), drawn);
    }

    // Far past the nominal 100-pixel rectangle, up to the window's edge; a shorter text after
    // it leaves nothing of it, and the label has no background of its own.
    void longStatusRunsOnToTheEdgeAndGoesWhole() {
        m_window->ShowStatus(Block.repeated(84), 1);
        AStatic* status = GuiFixture::StatusLabel(m_window.get());
        QCOMPARE(status->geometry().right(), m_window->width() - 1);
        const QRect drawn = Extent(Screen(*m_window), Red);
        QVERIFY(drawn.right() > status->x() + 100);
        QCOMPARE(drawn.right(), m_window->width() - 1);

        m_window->ShowStatus(QStringLiteral("ok"), 0);
        status = GuiFixture::StatusLabel(m_window.get());
        QImage screen = Screen(*m_window);
        QVERIFY(Extent(screen, Red).isNull());
        const int textEnd = status->x() + 2 + status->fontMetrics().horizontalAdvance("ok");
        QVERIFY(Extent(screen, Green).right() <= textEnd + 1);

        m_window->ShowStatus(QString(), 1);
        status = GuiFixture::StatusLabel(m_window.get());
        screen = Screen(*m_window);
        QCOMPARE(QColor(screen.pixel(status->pos() + QPoint(1, 1))),
                 m_window->palette().color(QPalette::Window));
    }

    void everyChangeReplacesTheOneLabel() {
        QPointer<AStatic> first = GuiFixture::StatusLabel(m_window.get());
        for (int i = 0; i < 500; ++i)
            m_window->ShowStatus(QStringLiteral("status %1").arg(i), i % 2);
        QVERIFY(first.isNull());
        const QList<AStatic*> labels = m_window->findChildren<AStatic*>();
        QCOMPARE(labels.size(), 1);
        QCOMPARE(labels.constFirst()->text(), QStringLiteral("status 499"));
    }

private:
    QPushButton* Button(const QString& name) const {
        return m_window->findChild<QPushButton*>(name);
    }

    QFont m_font = QApplication::font();
    std::unique_ptr<CTarvoDlg> m_window;
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
