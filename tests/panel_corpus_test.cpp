// The corpus of broken panel files in tests/panel_corpus: each is the
// operator panel ui/stelmo.uir spoilt in one way a panel file gets spoilt in
// practice, or written to harm. Every one must either be refused with its own
// code, one "stelmo:" line naming the file and the fault, no window left
// behind and the port untouched, or load and move the motor only between
// Start and Stop. The real panel file is the control case: it loads, and its
// controls are bound to the program's own callbacks (linked in here, as in
// stelmo itself).
#include "engine_support.h"

#include "drive/drive.h"
#include "panel/stelmo.h"
#include "runtime/config/translation.h"
#include "runtime/engine/engine.h"
#include "runtime/engine/engine_qt.h"
#include "runtime/ports/ports.h"
#include "runtime/services.h"

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QLabel>
#include <QLayout>
#include <QScreen>

#include <gtest/gtest.h>

#include <map>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace support;

const std::string CORPUS = PANEL_CORPUS;
const std::string PANEL_FILE = STELMO_PANEL_FILE;
constexpr long long PANEL_FILE_LIMIT = 4 * 1024 * 1024; // the largest panel file the engine reads

// Counts every port access while it is installed, and answers nothing.
class CountingPort : public stelmo::ports::Backend {
public:
    bool read(std::uint16_t, std::uint8_t &value) override
    {
        ++accesses;
        value = stelmo::ports::PORT_NOTHING;
        return true;
    }
    bool write(std::uint16_t, std::uint8_t) override
    {
        ++accesses;
        return true;
    }
    long accesses = 0;
};

class PanelCorpusTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(start_engine()); }
    void SetUp() override
    {
        previous_ = stelmo::ports::installed();
        stelmo::ports::install(&port);
    }
    void TearDown() override { stelmo::ports::install(previous_); }

    CountingPort port;
    TempDir scratch;

private:
    stelmo::ports::Backend *previous_ = nullptr;
};

TEST_F(PanelCorpusTest, EveryBrokenPanelFileIsRefusedCleanly)
{
    // Larger than the engine reads: the real panel with a long comment.
    std::string large = read_file(PANEL_FILE);
    ASSERT_FALSE(large.empty());
    const auto after_declaration = large.find("?>\n") + 3;
    const std::string open = "<!-- ", close = " -->\n";
    large.insert(
        after_declaration,
        open + std::string(PANEL_FILE_LIMIT + 1 - large.size() - open.size() - close.size(), 'x') +
            close);
    ASSERT_EQ(static_cast<long long>(large.size()), PANEL_FILE_LIMIT + 1);
    const std::string large_path = scratch.write("large.uir", large);

    struct Case {
        std::string path;
        int code;
        std::string fault; // in the report line
    };
    const Case cases[] = {
        {CORPUS + "/absent.uir", ERR_PANEL_FILE, "No such file"},
        {CORPUS + "/empty.uir", ERR_PANEL_FILE, "empty"},
        {large_path, ERR_PANEL_FILE, "too large"},
        {CORPUS + "/truncated.uir", ERR_NOT_A_PANEL, "line "},
        {CORPUS + "/plain_form.uir", ERR_NOT_A_PANEL, "has no stelmoPanel"},
        {CORPUS + "/not_a_form.uir", ERR_NOT_A_PANEL, "<RCC>"},
        {CORPUS + "/binary_garbage.uir", ERR_NOT_A_PANEL, "not a panel"},
        {CORPUS + "/invalid_utf8.uir", ERR_NOT_A_PANEL, "line "},
        {CORPUS + "/wrong_panel_id.uir", ERR_NO_SUCH_PANEL, "panel 2, not panel 1"},
        {CORPUS + "/duplicate_id.uir", ERR_BAD_CONTROL,
         "control 6 \"directionSelector\" appears twice"},
        {CORPUS + "/unknown_callback.uir", ERR_BAD_CONTROL, "names callback \"Start\""},
        {CORPUS + "/wrong_kind.uir", ERR_BAD_CONTROL, "QSpinBox, which cannot be a control"},
        {CORPUS + "/connections.uir", ERR_NOT_A_PANEL, "connects signals"},
        {CORPUS + "/huge_window.uir", ERR_NOT_A_PANEL, "a width of 32000 in geometry"},
        {CORPUS + "/icon_device.uir", ERR_NOT_A_PANEL, "\"/dev/zero\", which is not a regular"},
        // Nothing takes Stop away: no control out of reach, Esc only on stop.
        {CORPUS + "/stop_disabled.uir", ERR_BAD_CONTROL, "control 3 \"stopButton\" is disabled"},
        {CORPUS + "/stop_hidden.uir", ERR_BAD_CONTROL, "control 3 \"stopButton\" is hidden"},
        {CORPUS + "/stop_bound_to_start.uir", ERR_BAD_CONTROL,
         "answers Esc, the key that stops the motor, but is bound to \"start\""},
        // No text makes the window's thread open a file, however written.
        {CORPUS + "/stylesheet_fifo.uir", ERR_NOT_A_PANEL, "holds \"url\" once its escapes"},
        {CORPUS + "/stylesheet_escape.uir", ERR_NOT_A_PANEL, "holds \"url\" once its escapes"},
        {CORPUS + "/tooltip_css_escape.uir", ERR_NOT_A_PANEL, "names \"stelmo.fifo\"; a panel"},
        {CORPUS + "/tooltip_markdown_image.uir", ERR_NOT_A_PANEL, "names \"/dev/zero\"; a panel"},
        {CORPUS + "/rich_text_large.uir", ERR_NOT_A_PANEL, "names \"large.png\"; a panel"},
        {CORPUS + "/text_browser.uir", ERR_NOT_A_PANEL, "QTextBrowser, which reads files"},
        // Nor does any take long to load.
        {CORPUS + "/grid_row_huge.uir", ERR_NOT_A_PANEL, "with row 100000000;"},
        {CORPUS + "/nested_tables.uir", ERR_NOT_A_PANEL, "more than 8 tables"},
    };

    for (const Case &c : cases) {
        SCOPED_TRACE(c.path);
        const auto windows = QApplication::topLevelWidgets().size();
        const int descriptors = open_descriptors();
        StderrCapture capture;
        const int code = LoadPanel(0, c.path.c_str(), PANEL);
        const std::string said = capture.text();
        const auto lines = lines_of(said);

        EXPECT_EQ(code, c.code) << said;
        EXPECT_EQ(lines.size(), 1u) << said;
        if (!lines.empty()) {
            EXPECT_EQ(lines[0].rfind("stelmo: ", 0), 0u) << lines[0];
            EXPECT_NE(lines[0].find(c.path), std::string::npos) << lines[0];
            EXPECT_NE(lines[0].find(c.fault), std::string::npos) << lines[0];
        }
        EXPECT_EQ(QApplication::topLevelWidgets().size(), windows);
        EXPECT_EQ(open_descriptors(), descriptors);
        EXPECT_EQ(port.accesses, 0);
    }
}

// Panel files that load although written to harm: a step timer under
// another id, a second timer bound to the tick sequencer (both "running" by
// their own word) and a layout larger than any screen. Brought up as the
// program does, none touches the port before Start or after Stop, and the
// window stays within the screen.
TEST_F(PanelCorpusTest, PanelsThatLoadMoveTheMotorOnlyBetweenStartAndStop)
{
    using namespace stelmo::engine;
    for (const char *name : {"timer_19.uir", "second_timer.uir", "oversized_layout.uir"}) {
        SCOPED_TRACE(name);
        StderrCapture capture; // timer_19.uir: Start says there is no timer 9
        const int handle = LoadPanel(0, (CORPUS + "/" + name).c_str(), PANEL);
        ASSERT_GE(handle, 0) << capture.text();
        panelHandle = handle;
        DisplayPanel(handle);
        SetCtrlAttribute(handle, PANEL_TIMER, ATTR_TIMER_ENABLED, 0);
        const QWidget *window = panel_widget(handle);
        const QRect room = window->screen()->availableGeometry();
        EXPECT_LE(window->width(), room.width());
        EXPECT_LE(window->height(), room.height());

        std::map<CtrlCallbackPtr, QAbstractButton *> buttons;
        for (const int id : control_ids(handle))
            if (auto *button = qobject_cast<QAbstractButton *>(control_widget(handle, id)))
                buttons[control_callback(handle, id)] = button;
        ASSERT_TRUE(buttons.count(&start) && buttons.count(&stop));

        run_for(100);
        EXPECT_EQ(port.accesses, 0) << "before Start";
        buttons[&start]->click();
        run_for(100);
        buttons[&stop]->click();
        const long stopped = port.accesses;
        run_for(100);
        EXPECT_EQ(port.accesses, stopped) << "after Stop";
        ASSERT_TRUE(discard_panel(handle));
        port.accesses = 0;
    }
}

// Loads the real panel file, then operates it as the operator would.
TEST_F(PanelCorpusTest, RealPanelFileLoadsWithTheProgramsControlsAndCallbacks)
{
    using stelmo::engine::control_widget;
    StderrCapture capture;
    const int handle = LoadPanel(0, PANEL_FILE.c_str(), PANEL);
    const std::string said = capture.text();
    ASSERT_GE(handle, 0) << said;
    // Nothing to say, unless the step timer cannot run real-time here: then
    // start-up says that, in one line.
    const bool realtime = stelmo::engine::tick_scheduling().rfind("real-time", 0) == 0;
    EXPECT_LE(lines_of(said).size(), realtime ? 0u : 1u) << said;
    for (const std::string &line : lines_of(said))
        EXPECT_EQ(line.rfind("stelmo: step timer runs at normal priority: ", 0), 0u) << line;
    panelHandle = handle;

    // The controls the program uses, of the kinds its calls need.
    EXPECT_NE(qobject_cast<QDoubleSpinBox *>(control_widget(handle, PANEL_SCHRITTWEITE)), nullptr);
    EXPECT_EQ(SetCtrlVal(handle, PANEL_SCHRITTWEITE, POSITION_MAX), 0);
    for (int selector : {PANEL_ADRESSE, PANEL_RICHT}) {
        int index = -1;
        EXPECT_EQ(GetCtrlIndex(handle, selector, &index), 0) << selector;
        EXPECT_EQ(index, 0) << selector;
        const auto *combo = qobject_cast<QComboBox *>(control_widget(handle, selector));
        ASSERT_NE(combo, nullptr) << selector;
        EXPECT_EQ(combo->count(), 2) << selector;
    }
    // The port selector's entries name the ports the drive uses for them.
    auto *ports = qobject_cast<QComboBox *>(control_widget(handle, PANEL_ADRESSE));
    EXPECT_EQ(ports->itemText(0).toStdString(),
              "0x" + QString::number(PORT_FIRST, 16).toStdString());
    EXPECT_EQ(ports->itemText(1).toStdString(),
              "0x" + QString::number(PORT_SECOND, 16).toStdString());
    // The file says stelmoTimerEnabled true; no timer runs before Start all
    // the same.
    stelmo::engine::TimerCounts counts;
    ASSERT_TRUE(stelmo::engine::timer_counts(handle, PANEL_TIMER, counts));
    EXPECT_FALSE(counts.enabled);
    EXPECT_EQ(SetCtrlAttribute(handle, PANEL_TIMER, ATTR_TIMER_ENABLED, 0), 0);

    // Five buttons, bound to the program's five button callbacks; the timer
    // control to the tick sequencer.
    using stelmo::engine::control_callback;
    std::map<CtrlCallbackPtr, QAbstractButton *> buttons;
    for (const int id : stelmo::engine::control_ids(handle)) {
        if (auto *button = qobject_cast<QAbstractButton *>(control_widget(handle, id)))
            buttons[control_callback(handle, id)] = button;
    }
    EXPECT_EQ(buttons.size(), 5u);
    ASSERT_TRUE(buttons.count(&start) && buttons.count(&stop) && buttons.count(&Ende) &&
                buttons.count(&step) && buttons.count(&home));
    EXPECT_EQ(control_callback(handle, PANEL_TIMER), &timer);

    // The timer control takes no room on the panel: it sits in no layout, so
    // the buttons follow the position display at the layout's spacing. (Kept
    // in a layout, it made Designer save the window 15 px taller, all of it
    // above the buttons.)
    QWidget *display = control_widget(handle, PANEL_SCHRITTWEITE);
    QWidget *step_timer = control_widget(handle, PANEL_TIMER);
    QWidget *root = display->window();
    for (const QLayout *layout : root->findChildren<QLayout *>())
        EXPECT_LT(layout->indexOf(step_timer), 0) << layout->objectName().toStdString();
    root->layout()->activate();
    const int gap = buttons[&start]->geometry().top() - display->geometry().bottom() - 1;
    EXPECT_LT(gap, 2 * root->layout()->spacing()) << "gap above the buttons";

    // Start takes the port from the selector and switches the ticks on.
    ports->setCurrentIndex(1); // the second port: nothing behind it moves
    buttons[&start]->click();
    EXPECT_EQ(adresse, 1);
    ASSERT_TRUE(stelmo::engine::timer_counts(handle, PANEL_TIMER, counts));
    EXPECT_TRUE(counts.enabled);

    // Each tick the drive reads the switches and writes a pattern. Stop
    // switches the ticks off under the engine's lock: none runs after it.
    ASSERT_TRUE(wait_until([&] {
        return stelmo::engine::timer_counts(handle, PANEL_TIMER, counts) && counts.ticks >= 3;
    }));
    buttons[&stop]->click();
    ASSERT_TRUE(stelmo::engine::timer_counts(handle, PANEL_TIMER, counts));
    EXPECT_FALSE(counts.enabled);
    EXPECT_GT(counts.ticks, 0);
    EXPECT_EQ(port.accesses, 2 * counts.ticks);

    // Quit ends the event loop with 0; stopped, the drive touches nothing.
    const long accesses = port.accesses;
    QAbstractButton *quit = buttons[&Ende];
    Deadline deadline(20000);
    QTimer::singleShot(0, quit, [quit] { quit->click(); });
    EXPECT_EQ(RunUserInterface(), 0);
    EXPECT_EQ(port.accesses, accesses);
}

// With the German catalogue built beside the executable, the panel shows
// German texts and still loads: its callbacks bind, and no two buttons share
// a key. Its window carries stelmo's icon and desktop entry.
TEST_F(PanelCorpusTest, RealPanelFileLoadsInGerman)
{
    using stelmo::engine::control_widget;
    const auto dirs = stelmo::translation_dirs(QCoreApplication::applicationDirPath());
    ASSERT_GE(stelmo::load_translations(QLocale(QLocale::German, QLocale::Germany), dirs), 1);
    StderrCapture capture;
    const int handle = LoadPanel(0, PANEL_FILE.c_str(), PANEL);
    stelmo::load_translations(QLocale::c(), dirs); // English again for the other tests
    ASSERT_GE(handle, 0) << capture.text();

    std::map<CtrlCallbackPtr, QString> buttons;
    for (const int id : stelmo::engine::control_ids(handle)) {
        if (auto *button = qobject_cast<QAbstractButton *>(control_widget(handle, id)))
            buttons[stelmo::engine::control_callback(handle, id)] = button->text();
    }
    EXPECT_EQ(buttons[&start], QStringLiteral("&Starten"));
    EXPECT_EQ(buttons[&stop], QStringLiteral("S&toppen"));
    EXPECT_EQ(buttons[&Ende], QStringLiteral("&Beenden"));
    EXPECT_EQ(buttons[&step], QStringLiteral("&Einzelschritt"));
    EXPECT_EQ(buttons[&home], QStringLiteral("Referenzfa&hrt"));
    QWidget *ports = control_widget(handle, PANEL_ADRESSE);
    QWidget *root = ports->window();
    const QLabel *port_label = nullptr;
    for (const QLabel *label : root->findChildren<QLabel *>())
        port_label = label->buddy() == ports ? label : port_label;
    ASSERT_NE(port_label, nullptr);
    EXPECT_EQ(port_label->text(), QStringLiteral("&Anschluss"));
    EXPECT_EQ(ports->accessibleName(), QStringLiteral("Anschluss"));
    EXPECT_EQ(qobject_cast<QComboBox *>(control_widget(handle, PANEL_RICHT))->itemText(0),
              QStringLiteral("Zur Referenz"));
    EXPECT_TRUE(root->windowTitle().endsWith(QStringLiteral("simulierter Prüfstand")))
        << root->windowTitle().toStdString();

    EXPECT_FALSE(root->windowIcon().isNull());
    EXPECT_EQ(QGuiApplication::desktopFileName(), QStringLiteral(STELMO_APP_ID));
    EXPECT_TRUE(stelmo::engine::discard_panel(handle));
}

} // namespace
