#include <gtest/gtest.h>

#include <QApplication>
#include <QCloseEvent>
#include <QElapsedTimer>
#include <QGroupBox>
#include <QImage>
#include <QKeyEvent>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <future>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/qt/update_app.h"
#include "app/qt/window_calls.h"
#include "platform/thread.h"
#include "tests/support/test_support.h"

namespace zolt {
namespace {

using namespace std::chrono_literals;

// Set before any application exists, in this process and in the death tests' children.
const bool offscreen = [] {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    return true;
}();

// One application for the in-process tests, made on first use (the death tests make their own).
CZOLTUpdateApp& App() {
    static int argc = 1;
    static char name[] = "app_window_tests";
    static char* argv[] = {name, nullptr};
    static CZOLTUpdateApp* app = new CZOLTUpdateApp(argc, argv);
    return *app;
}

// Handles the window's events until `done` holds or the time runs out.
bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 5s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// Reads something off the window on its own thread, from a worker.
template <typename T>
T ReadOnWindowThread(WindowCalls& calls, std::function<T()> read) {
    T value{};
    calls.Call([&] { value = read(); });
    return value;
}

uint32_t DoNothing(UpdateWindow&) {
    return 0;
}

class WindowTest : public ::testing::Test {
  protected:
    void SetUp() override { App(); }

    testing::ScopedTestLog log_;
    LogCapture capture_;
};

TEST_F(WindowTest, StartsUpWithTitleEmptyControlsBothButtonsAndOneLogLine) {
    CZOLTUpdateDlg dialog(DoNothing, DoNothing);
    EXPECT_TRUE(capture_.Lines().empty());  // nothing before the window is up
    dialog.show();
    dialog.activateWindow();
    ASSERT_TRUE(PumpUntil([&] { return QApplication::focusWidget() != nullptr; }));

    EXPECT_EQ(dialog.windowTitle().toStdString(), "ZOLT Update V1.0.6");
    EXPECT_TRUE(dialog.StatusLine()->text().isEmpty());
    EXPECT_TRUE(dialog.InfoBox()->toPlainText().isEmpty());
    EXPECT_EQ(dialog.ProgressBar()->value(), 0);
    EXPECT_EQ(dialog.ProgressBar()->minimum(), 0);
    EXPECT_EQ(dialog.ProgressBar()->maximum(), 100);
    EXPECT_TRUE(dialog.UpdateButton()->isEnabled());
    EXPECT_TRUE(dialog.DeviceInfoButton()->isEnabled());
    EXPECT_EQ(QApplication::focusWidget(), dialog.UpdateButton());

    EXPECT_EQ(capture_.Lines(), std::vector<std::string>{"ZOLT Update 1.0.6 start"});
    const std::string file = log_.Contents();
    EXPECT_NE(file.find("|    -   ]ZOLT Update 1.0.6 start\r\n"), std::string::npos) << file;

    // Hiding and showing again writes no second start line.
    dialog.hide();
    dialog.show();
    QCoreApplication::processEvents();
    EXPECT_EQ(capture_.Lines().size(), 1u);
}

TEST_F(WindowTest, ControlsCarryTheirTextsAndSettings) {
    CZOLTUpdateDlg dialog(DoNothing, DoNothing);
    // The hidden OK is the default button; a focused button stands in for it while it has focus.
    EXPECT_TRUE(dialog.OkButton()->isDefault());
    dialog.show();
    QCoreApplication::processEvents();

    EXPECT_EQ(dialog.OkButton()->text().toStdString(), "确定");
    EXPECT_EQ(dialog.CancelButton()->text().toStdString(), "取消");
    EXPECT_FALSE(dialog.OkButton()->isVisible());
    EXPECT_FALSE(dialog.CancelButton()->isVisible());
    EXPECT_EQ(dialog.StepsBox()->title().toStdString(), "Steps");
    EXPECT_EQ(dialog.DeviceInfoBox()->title().toStdString(), "Device Info");
    EXPECT_EQ(dialog.StepsText()->text().toStdString(),
              "1. Connect device to PC with USB cable.\n\n2. Click 'Update' button.\n\n"
              "3. Wait update finish.");
    EXPECT_EQ(dialog.UpdateButton()->text().toStdString(), "Update");
    EXPECT_EQ(dialog.DeviceInfoButton()->text().toStdString(), "Device Info");
    EXPECT_TRUE(dialog.InfoBox()->isReadOnly());
    EXPECT_EQ(dialog.InfoBox()->lineWrapMode(), QPlainTextEdit::NoWrap);
    EXPECT_EQ(dialog.InfoBox()->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);

    // Fixed size: no minimise or maximise box, no resizing.
    const Qt::WindowFlags flags = dialog.windowFlags();
    EXPECT_FALSE(flags & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(flags & Qt::WindowMaximizeButtonHint);
    EXPECT_TRUE(flags & Qt::WindowCloseButtonHint);
    EXPECT_TRUE(flags & Qt::WindowTitleHint);
    EXPECT_EQ(dialog.minimumSize(), dialog.maximumSize());
    EXPECT_EQ(dialog.size(), dialog.minimumSize());

    // Status texts are shown as they are, never read as markup.
    dialog.SetStatusText(u"<b>Update failed.</b>");
    EXPECT_EQ(dialog.StatusLine()->text().toStdString(), "<b>Update failed.</b>");
    EXPECT_EQ(dialog.StatusLine()->textFormat(), Qt::PlainText);

    const QList<QSize> sizes = dialog.windowIcon().availableSizes();
    for (int size : {16, 24, 32, 48, 64, 128, 256}) {
        EXPECT_TRUE(sizes.contains(QSize(size, size))) << size;
    }
}

TEST_F(WindowTest, TabOrderFollowsTheLayoutTable) {
    CZOLTUpdateDlg dialog(DoNothing, DoNothing);
    dialog.show();
    QCoreApplication::processEvents();

    // The controls a Tab press can reach, in the order it reaches them.
    std::vector<QWidget*> order;
    QWidget* w = dialog.UpdateButton();
    do {
        if ((w->focusPolicy() & Qt::TabFocus) && w->isVisible() && w->isEnabled() &&
            w->window() == &dialog && w != &dialog) {
            order.push_back(w);
        }
        w = w->nextInFocusChain();
    } while (w != dialog.UpdateButton());
    const std::vector<QWidget*> expected{dialog.UpdateButton(), dialog.InfoBox(),
                                         dialog.DeviceInfoButton()};
    EXPECT_EQ(order, expected);
}

// Expected pixels computed here from the font the way dialog units are defined, independently of
// the window's own conversion code.
TEST_F(WindowTest, ControlsSitAtTheirDialogUnitPositionsInPixels) {
    CZOLTUpdateDlg dialog(DoNothing, DoNothing);
    const QFontMetrics metrics(dialog.font());
    const int letters = metrics.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    const int baseX = (letters + 26) / 52;
    const int baseY = metrics.height();
    ASSERT_GT(baseX, 0);
    ASSERT_GT(baseY, 0);
    EXPECT_EQ(dialog.BaseUnits().x, baseX);
    EXPECT_EQ(dialog.BaseUnits().y, baseY);
    EXPECT_EQ(dialog.font().pointSize(), 9);

    const auto px = [&](int units) { return (units * baseX * 2 + 4) / 8; };   // units * baseX / 4
    const auto py = [&](int units) { return (units * baseY * 2 + 8) / 16; };  // units * baseY / 8
    const auto rect = [&](int x, int y, int w, int h) {
        return QRect(px(x), py(y), px(x + w) - px(x), py(y + h) - py(y));
    };
    EXPECT_EQ(dialog.size(), QSize(px(297), py(165)));
    EXPECT_EQ(dialog.UpdateButton()->geometry(), rect(9, 94, 70, 43));
    EXPECT_EQ(dialog.DeviceInfoButton()->geometry(), rect(94, 94, 70, 43));
    EXPECT_EQ(dialog.InfoBox()->geometry(), rect(178, 17, 105, 115));
    EXPECT_EQ(dialog.ProgressBar()->geometry(), rect(0, 157, 297, 8));
    EXPECT_EQ(dialog.StatusLine()->geometry(), rect(7, 143, 288, 11));
    EXPECT_EQ(dialog.StepsBox()->geometry(), rect(9, 5, 155, 78));
    EXPECT_EQ(dialog.DeviceInfoBox()->geometry(), rect(173, 5, 114, 132));
    // The progress bar spans the whole width and ends at the bottom edge.
    EXPECT_EQ(dialog.ProgressBar()->geometry().right(), dialog.width() - 1);
    EXPECT_EQ(dialog.ProgressBar()->geometry().bottom(), dialog.height() - 1);
    // The banner keeps the bitmap's own size.
    EXPECT_EQ(dialog.Banner()->geometry(), QRect(0, 0, 476, 9));
}

TEST(DialogUnits, ConvertEdgesWithRounding) {
    struct Case {
        DialogBaseUnits base;
        DialogRect units;
        QRect pixels;
    };
    const Case cases[] = {
        // The classic 8-point dialog font: base units 6 x 13.
        {{6, 13}, {0, 0, 297, 165}, QRect(0, 0, 446, 268)},
        {{6, 13}, {7, 7, 50, 14}, QRect(11, 11, 75, 23)},
        // Edges are converted, not widths: 1.5 rounds to 2 and 3 stays 3, so the width is 1.
        {{6, 13}, {1, 0, 1, 1}, QRect(2, 0, 1, 2)},
        {{7, 14}, {9, 94, 70, 43}, QRect(16, 165, 122, 75)},
        {{7, 14}, {0, 157, 297, 8}, QRect(0, 275, 520, 14)},
        {{8, 16}, {178, 17, 105, 115}, QRect(356, 34, 210, 230)},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(DialogRectToPixels(c.units, c.base), c.pixels)
            << c.base.x << "x" << c.base.y << " " << c.units.x << "," << c.units.y;
    }
    EXPECT_EQ(MulDivRound(3, 6, 4), 5);    // 4.5 rounds up
    EXPECT_EQ(MulDivRound(-3, 6, 4), -5);  // and down for negatives, away from zero
    EXPECT_EQ(MulDivRound(5, 6, 0), 0);
    EXPECT_EQ(MulDivRound(1'000'000, 1'000'000, 1'000'000), 1'000'000);  // no overflow
}

// A procedure that waits until the test lets it go, then ends as the real ones do.
struct HeldProcedure {
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<int> runs{0};
    std::atomic<bool> done{false};
    std::thread::id thread;

    Procedure Entry() {
        return [this](UpdateWindow& window) {
            thread = std::this_thread::get_id();
            runs++;
            released.wait();
            window.EnableActions(true);
            done = true;
            return 0u;
        };
    }
};

TEST_F(WindowTest, PressDisablesBothButtonsBeforeTheWorkerRunsAndStartsOneRun) {
    for (const bool pressUpdate : {true, false}) {
        SCOPED_TRACE(pressUpdate ? "Update" : "Device Info");
        HeldProcedure update, deviceInfo;
        CZOLTUpdateDlg dialog(update.Entry(), deviceInfo.Entry());
        dialog.show();
        QCoreApplication::processEvents();

        QPushButton* pressed = pressUpdate ? dialog.UpdateButton() : dialog.DeviceInfoButton();
        pressed->click();
        // Disabled by the press itself, before the worker could have done anything.
        EXPECT_FALSE(dialog.UpdateButton()->isEnabled());
        EXPECT_FALSE(dialog.DeviceInfoButton()->isEnabled());
        // Further presses do nothing while the run is going.
        dialog.UpdateButton()->click();
        dialog.DeviceInfoButton()->click();

        HeldProcedure& started = pressUpdate ? update : deviceInfo;
        HeldProcedure& other = pressUpdate ? deviceInfo : update;
        started.release.set_value();
        other.release.set_value();
        ASSERT_TRUE(PumpUntil([&] { return started.done.load(); }));
        EXPECT_TRUE(dialog.UpdateButton()->isEnabled());
        EXPECT_TRUE(dialog.DeviceInfoButton()->isEnabled());
        EXPECT_EQ(started.runs.load(), 1);
        EXPECT_EQ(other.runs.load(), 0);
        EXPECT_NE(started.thread, std::this_thread::get_id());
        // The handler writes nothing to the log; only the start line is there.
        EXPECT_EQ(capture_.Lines().size(), 1u);
        capture_.Clear();
    }
}

// Keys as a person types them: each goes to whatever holds the focus.
void Type(Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
    QWidget* focus = QApplication::focusWidget();
    ASSERT_NE(focus, nullptr);
    QTest::keyClick(focus, key, modifiers);
    QCoreApplication::processEvents();
}

TEST_F(WindowTest, ReturnAtStartRunsTheUpdateAndEscapeDuringTheRunCloses) {
    HeldProcedure update, deviceInfo;
    CZOLTUpdateDlg dialog(update.Entry(), deviceInfo.Entry());
    dialog.show();
    dialog.activateWindow();
    ASSERT_TRUE(PumpUntil([&] { return QApplication::focusWidget() == dialog.UpdateButton(); }));

    Type(Qt::Key_Return);
    ASSERT_TRUE(dialog.isVisible()) << "Return closed the window";
    ASSERT_TRUE(PumpUntil([&] { return update.runs.load() == 1; }));
    EXPECT_FALSE(dialog.UpdateButton()->isEnabled());
    // The greyed button cannot keep the focus; the info box holds it during the run.
    EXPECT_EQ(QApplication::focusWidget(), dialog.InfoBox());

    Type(Qt::Key_Escape);
    EXPECT_FALSE(dialog.isVisible());
    EXPECT_EQ(dialog.result(), QDialog::Rejected);
    EXPECT_EQ(deviceInfo.runs.load(), 0);
    update.release.set_value();
    deviceInfo.release.set_value();
    ASSERT_TRUE(PumpUntil([&] { return update.done.load(); }));
}

TEST_F(WindowTest, TabReachesTheControlsInOrderAndTheFocusComesBackAfterARun) {
    HeldProcedure update, deviceInfo;
    CZOLTUpdateDlg dialog(update.Entry(), deviceInfo.Entry());
    dialog.show();
    dialog.activateWindow();
    ASSERT_TRUE(PumpUntil([&] { return QApplication::focusWidget() == dialog.UpdateButton(); }));

    struct Step {
        Qt::KeyboardModifiers modifiers;
        QWidget* focus;
    };
    for (const Step& step :
         {Step{Qt::NoModifier, dialog.InfoBox()}, Step{Qt::NoModifier, dialog.DeviceInfoButton()},
          Step{Qt::NoModifier, dialog.UpdateButton()},
          Step{Qt::ShiftModifier, dialog.DeviceInfoButton()}}) {
        Type(Qt::Key_Tab, step.modifiers);
        EXPECT_EQ(QApplication::focusWidget(), step.focus);
    }

    // Return on the button reached by Tab presses it, not the hidden default.
    ASSERT_EQ(QApplication::focusWidget(), dialog.DeviceInfoButton());
    Type(Qt::Key_Return);
    ASSERT_TRUE(dialog.isVisible()) << "Return closed the window";
    ASSERT_TRUE(PumpUntil([&] { return deviceInfo.runs.load() == 1; }));
    EXPECT_EQ(QApplication::focusWidget(), dialog.InfoBox());
    deviceInfo.release.set_value();
    ASSERT_TRUE(PumpUntil([&] { return deviceInfo.done.load(); }));
    ASSERT_TRUE(PumpUntil([&] { return dialog.DeviceInfoButton()->isEnabled(); }));
    EXPECT_EQ(QApplication::focusWidget(), dialog.DeviceInfoButton());

    // After the run the keys work as before it.
    Type(Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), dialog.UpdateButton());
    Type(Qt::Key_Escape);
    EXPECT_FALSE(dialog.isVisible());
    EXPECT_EQ(update.runs.load(), 0);
    update.release.set_value();
}

TEST_F(WindowTest, DeviceInfoProcedureFillsTheBoxFromItsThread) {
    std::atomic<bool> done{false};
    const Procedure deviceInfo = [&](UpdateWindow& window) {
        window.EnableActions(false);
        window.SetInfoText(u"Serial: 1234\r\nFirmware: 2.1 \u00e9\u4e2d\r\n\r\nEnd");
        window.EnableActions(true);
        done = true;
        return 0u;
    };
    CZOLTUpdateDlg dialog(DoNothing, deviceInfo);
    dialog.show();
    dialog.DeviceInfoButton()->click();
    ASSERT_TRUE(PumpUntil([&] { return done.load(); }));
    EXPECT_EQ(dialog.InfoBox()->toPlainText(),
              QString::fromUtf16(u"Serial: 1234\nFirmware: 2.1 \u00e9\u4e2d\n\nEnd"));
    EXPECT_EQ(dialog.InfoBox()->document()->blockCount(), 4);

    // A second text replaces the first one whole.
    done = false;
    dialog.DeviceInfoButton()->click();
    ASSERT_TRUE(PumpUntil([&] { return done.load(); }));
    EXPECT_EQ(dialog.InfoBox()->document()->blockCount(), 4);
}

// Each operation, called on a worker, has taken effect on the window by the time it returns.
TEST_F(WindowTest, EveryOperationFromAWorkerHasTakenEffectWhenItReturns) {
    std::mutex mutex;
    std::vector<std::string> failures;
    std::atomic<bool> done{false};
    CZOLTUpdateDlg* dialogPtr = nullptr;
    std::shared_ptr<WindowCalls> reads;  // the test's own way onto the window's thread

    const Procedure checks = [&](UpdateWindow& window) {
        const auto fail = [&](const std::string& what) {
            std::lock_guard lock(mutex);
            failures.push_back(what);
        };
        const auto status = [&] {
            return ReadOnWindowThread<QString>(*reads,
                                               [&] { return dialogPtr->StatusLine()->text(); });
        };
        const auto bar = [&] {
            return ReadOnWindowThread<int>(*reads,
                                           [&] { return dialogPtr->ProgressBar()->value(); });
        };
        const auto enabled = [&] {
            return ReadOnWindowThread<int>(*reads, [&] {
                return (dialogPtr->UpdateButton()->isEnabled() ? 1 : 0) +
                       (dialogPtr->DeviceInfoButton()->isEnabled() ? 2 : 0);
            });
        };

        window.EnableActions(false);
        if (enabled() != 0)
            fail("EnableActions(false)");
        for (const char16_t* text :
             {u"Prepare for updating, please wait ...", u"Updating..", u""}) {
            window.SetStatusText(text);
            if (status() != QString::fromUtf16(text))
                fail("SetStatusText");
        }
        window.SetInfoText(u"box");
        if (ReadOnWindowThread<QString>(*reads, [&] {
                return dialogPtr->InfoBox()->toPlainText();
            }) != QStringLiteral("box")) {
            fail("SetInfoText");
        }
        struct Step {
            int32_t set;
            int32_t shown;
        };
        for (const Step step : {Step{100, 100}, Step{0, 0}, Step{37, 37}, Step{150, 100},
                                Step{-3, 0}, Step{80, 80}}) {
            window.SetProgress(step.set);
            if (bar() != step.shown)
                fail("SetProgress " + std::to_string(step.set));
            if (window.GetProgress() != step.shown)
                fail("GetProgress " + std::to_string(step.set));
        }
        window.EnableActions(true);
        if (enabled() != 3)
            fail("EnableActions(true)");
        done = true;
        return 0u;
    };

    CZOLTUpdateDlg dialog(checks, DoNothing);
    dialogPtr = &dialog;
    reads = WindowCalls::Create(dialog);
    dialog.show();
    dialog.UpdateButton()->click();
    ASSERT_TRUE(PumpUntil([&] { return done.load(); }));
    std::lock_guard lock(mutex);
    EXPECT_TRUE(failures.empty()) << failures.front();
}

// A worker that keeps using the window while it is closed and then destroyed: it is let go at
// once, its later operations are dropped, and nothing of it reaches the gone window.
TEST_F(WindowTest, ClosingDuringARunEndsPromptlyAndDropsTheWorkersOperations) {
    enum class How { Escape, CloseBox, Cancel };
    for (const How how : {How::Escape, How::CloseBox, How::Cancel}) {
        SCOPED_TRACE(static_cast<int>(how));
        std::atomic<int> calls{0};
        std::atomic<bool> closed{false};
        std::atomic<bool> stop{false};
        std::atomic<bool> finished{false};
        std::atomic<long long> slowestAfterClose{0};
        std::atomic<int32_t> progressAfterClose{-1};

        const Procedure endless = [&](UpdateWindow& window) {
            window.EnableActions(false);
            int32_t i = 0;
            while (!stop) {
                const bool wasClosed = closed;
                const auto start = std::chrono::steady_clock::now();
                window.SetProgress(i % 101);
                window.SetStatusText(wasClosed ? u"after close" : u"Updating..");
                const int32_t progress = window.GetProgress();
                const long long took = std::chrono::duration_cast<std::chrono::milliseconds>(
                                           std::chrono::steady_clock::now() - start)
                                           .count();
                if (wasClosed) {
                    progressAfterClose = progress;
                    if (took > slowestAfterClose)
                        slowestAfterClose = took;
                }
                ++i;
                ++calls;
            }
            window.EnableActions(true);
            finished = true;
            return 0u;
        };

        auto* dialog = new CZOLTUpdateDlg(endless, DoNothing);
        QTimer poll;
        QElapsedTimer sinceClose;
        poll.setInterval(1);
        QObject::connect(&poll, &QTimer::timeout, dialog, [&] {
            if (calls < 20 || sinceClose.isValid()) {
                return;
            }
            sinceClose.start();
            if (how == How::Escape) {
                QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
                QApplication::sendEvent(dialog->UpdateButton(), &escape);
            } else if (how == How::CloseBox) {
                dialog->close();
            } else {
                dialog->CancelButton()->click();
            }
        });
        poll.start();
        QTimer::singleShot(0, dialog, [dialog] { dialog->UpdateButton()->click(); });
        dialog->exec();
        const qint64 closeTookMs = sinceClose.elapsed();
        closed = true;
        poll.stop();
        EXPECT_LT(closeTookMs, 1000);

        delete dialog;  // while the worker still runs
        const int before = calls;
        ASSERT_TRUE(PumpUntil([&] { return calls > before + 50; }, 10s));
        EXPECT_LT(slowestAfterClose.load(), 200);
        EXPECT_EQ(progressAfterClose.load(), 0);
        stop = true;
        ASSERT_TRUE(PumpUntil([&] { return finished.load(); }, 10s));
    }
}

// Closed, or destroyed without being closed, while the worker waits inside an operation that the
// window's thread has not got to yet.
TEST_F(WindowTest, WorkerWaitingInAnOperationIsLetGoByTheClose) {
    for (const bool destroy : {false, true}) {
        SCOPED_TRACE(destroy ? "destroyed" : "closed");
        struct Shared {
            std::promise<void> returned;
            std::atomic<bool> inCall{false};
        };
        auto shared = std::make_shared<Shared>();  // outlives this test should the worker hang
        auto returned = shared->returned.get_future();
        const Procedure update = [shared](UpdateWindow& window) {
            shared->inCall = true;
            window.SetStatusText(u"too late");
            shared->returned.set_value();
            return 0u;
        };
        auto dialog = std::make_unique<CZOLTUpdateDlg>(update, DoNothing);
        dialog->show();
        QCoreApplication::processEvents();
        dialog->UpdateButton()->click();
        // This thread handles no events now, so the worker's call stays queued.
        while (!shared->inCall) {
            std::this_thread::sleep_for(1ms);
        }
        std::this_thread::sleep_for(30ms);
        if (destroy) {
            dialog.reset();
        } else {
            dialog->reject();
        }
        ASSERT_EQ(returned.wait_for(2s), std::future_status::ready);
        QCoreApplication::processEvents();  // the queued call, if still there, is dropped
        if (dialog) {
            EXPECT_TRUE(dialog->StatusLine()->text().isEmpty());
        }
    }
}

TEST(WindowCalls, RunsOnTheWindowThreadAndNeverAfterClose) {
    App();
    QObject window;
    auto calls = WindowCalls::Create(window);
    // On the window's own thread a call runs at once.
    bool ran = false;
    EXPECT_TRUE(calls->Call([&] { ran = true; }));
    EXPECT_TRUE(ran);

    // From a worker it runs on the window's thread.
    std::atomic<QThread*> ranOn{nullptr};
    std::atomic<bool> result{false};
    std::atomic<bool> returned{false};
    std::thread worker([&] {
        result = calls->Call([&] { ranOn = QThread::currentThread(); });
        returned = true;
    });
    EXPECT_TRUE(PumpUntil([&] { return returned.load(); }));
    worker.join();
    EXPECT_TRUE(result);
    EXPECT_EQ(ranOn.load(), window.thread());

    // A posted task runs later, and not at all when the window closes first.
    int posted = 0;
    EXPECT_TRUE(calls->Post([&] { ++posted; }));
    QCoreApplication::processEvents();
    EXPECT_EQ(posted, 1);
    EXPECT_TRUE(calls->Post([&] { ++posted; }));
    calls->Close();
    QCoreApplication::processEvents();
    EXPECT_EQ(posted, 1);
    EXPECT_FALSE(calls->Post([&] { ++posted; }));
    EXPECT_FALSE(calls->Call([&] { ++posted; }));
    std::thread late([&] { result = calls->Call([&] { ++posted; }); });
    late.join();  // returns without any event being handled
    EXPECT_FALSE(result);
    EXPECT_EQ(posted, 1);
}

// --- the program's run of the window -------------------------------------------------------------

uint32_t FillBox(UpdateWindow& window) {
    window.EnableActions(false);
    window.SetStatusText(u"Device Info done");
    window.SetInfoText(u"Serial: 1234\r\nFirmware: 2.1");
    window.EnableActions(true);
    return 0;
}

TEST_F(WindowTest, ScreenshotIsTakenAfterThePressedProcedureHasFinished) {
    struct Case {
        std::string press;
        bool expectUpdate;
        bool expectDeviceInfo;
    };
    for (const Case& c :
         {Case{"device-info", false, true}, Case{"update", true, false}, Case{"", false, false}}) {
        SCOPED_TRACE(c.press);
        testing::TempDir dir;
        std::atomic<bool> updateRan{false}, deviceInfoRan{false};
        const Procedure update = [&](UpdateWindow& w) {
            updateRan = true;
            return FillBox(w);
        };
        const Procedure deviceInfo = [&](UpdateWindow& w) {
            deviceInfoRan = true;
            std::this_thread::sleep_for(50ms);  // finishes well after the window is up
            return FillBox(w);
        };
        WindowOptions options;
        options.autoPress = c.press;
        options.screenshotPath = (dir.path() / "shot.png").string();
        EXPECT_EQ(ShowUpdateWindow(update, deviceInfo, options), 0);
        EXPECT_EQ(updateRan.load(), c.expectUpdate);
        EXPECT_EQ(deviceInfoRan.load(), c.expectDeviceInfo);

        QImage shot(QString::fromStdString(options.screenshotPath));
        ASSERT_FALSE(shot.isNull());
        CZOLTUpdateDlg reference(DoNothing, DoNothing);
        EXPECT_EQ(shot.size(), reference.size());
        // The banner's colour along the top edge.
        EXPECT_EQ(shot.pixelColor(10, 2), QColor(235, 232, 215));
    }
}

TEST_F(WindowTest, ScreenshotThatCannotBeWrittenGivesOne) {
    WindowOptions options;
    options.screenshotPath = "/nonexistent-dir/zolt/shot.png";
    EXPECT_EQ(ShowUpdateWindow(DoNothing, DoNothing, options), 1);
}

// The death tests' children run the test from its start again; they find the parent's directory
// in the environment and write their log there.
class SharedDirectory {
  public:
    SharedDirectory() {
        if (const char* inherited = std::getenv("ZOLT_TEST_SHARED_DIR")) {
            path_ = inherited;
        } else {
            dir_.emplace();
            path_ = dir_->path();
            setenv("ZOLT_TEST_SHARED_DIR", path_.c_str(), 1);
        }
    }
    ~SharedDirectory() {
        if (dir_) {
            unsetenv("ZOLT_TEST_SHARED_DIR");
        }
    }
    const std::filesystem::path& path() const { return path_; }

  private:
    std::optional<testing::TempDir> dir_;
    std::filesystem::path path_;
};

// The process ends as soon as the window closes, although the running procedure is still busy
// with the window and never stops by itself.
TEST(RunUpdateWindowDeathTest, EndsTheProcessAtOnceWhileAWorkerStillRuns) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    SharedDirectory dir;
    const auto run = [&dir] {
        ProcessLog().SetDirectoryOverride(FromUtf8(dir.path().string()));
        const Procedure endless = [](UpdateWindow& window) {
            window.EnableActions(false);
            for (int32_t i = 0;; ++i) {
                window.SetProgress(i % 101);
                window.SetStatusText(u"Updating..");
                window.GetProgress();
                if (i == 50) {  // the user closes the window in the middle of the run
                    QMetaObject::invokeMethod(qApp, [] {
                        for (QWidget* w : QApplication::topLevelWidgets())
                            w->close();
                    });
                }
            }
            return 0u;
        };
        int argc = 1;
        char name[] = "zolt-update";
        char* argv[] = {name, nullptr};
        WindowOptions options;
        options.autoPress = "update";
        RunUpdateWindow(argc, argv, endless, DoNothing, options);
        std::exit(7);  // not reached
    };
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EXIT(run(), ::testing::ExitedWithCode(0), "");
    EXPECT_LT(std::chrono::steady_clock::now() - start, 20s);
    const std::string log = testing::ReadFile(dir.path() / "log.bin");
    EXPECT_NE(log.find("]ZOLT Update 1.0.6 start\r\n"), std::string::npos) << log;
}

TEST(RunUpdateWindowDeathTest, ExitCodeTellsAFailedScreenshot) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    SharedDirectory dir;
    const auto run = [&dir] {
        ProcessLog().SetDirectoryOverride(FromUtf8(dir.path().string()));
        int argc = 1;
        char name[] = "zolt-update";
        char* argv[] = {name, nullptr};
        WindowOptions options;
        options.screenshotPath = "/nonexistent-dir/zolt/shot.png";
        RunUpdateWindow(argc, argv, DoNothing, DoNothing, options);
        std::exit(7);
    };
    EXPECT_EXIT(run(), ::testing::ExitedWithCode(1), "");
}

}  // namespace
}  // namespace zolt
