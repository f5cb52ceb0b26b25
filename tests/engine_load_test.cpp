// LoadPanel: panel files good and bad, where they are looked for, and how
// callback names are bound. Every failure must give its own code, exactly one
// "stelmo:" line naming the file and the fault, and leave nothing behind.
#include "engine_support.h"

#include "runtime/engine/engine.h"
#include "runtime/engine/engine_qt.h"
#include "runtime/services.h"

#include <QApplication>
#include <QPushButton>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace support;

class EngineLoadTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(start_engine()); }
    void SetUp() override { events.clear(); }

    TempDir dir;

    struct Failure {
        int code;
        std::vector<std::string> lines;
    };

    // Loads `document` from a scratch file and expects a failure with one
    // report line that names the file.
    Failure load_failing(const std::string &document, int panel = 1,
                         const std::string &name = "panel.ui")
    {
        return load_path_failing(dir.write(name, document), panel);
    }

    Failure load_path_failing(const std::string &path, int panel = 1)
    {
        const auto windows_before = QApplication::topLevelWidgets().size();
        const int descriptors_before = open_descriptors();
        StderrCapture capture;
        const int code = LoadPanel(0, path.c_str(), panel);
        const Failure failure{code, lines_of(capture.text())};
        EXPECT_LT(code, 0);
        EXPECT_EQ(failure.lines.size(), 1u) << capture.text();
        if (!failure.lines.empty()) {
            EXPECT_EQ(failure.lines[0].rfind("stelmo: ", 0), 0u) << failure.lines[0];
            EXPECT_NE(failure.lines[0].find(path), std::string::npos) << failure.lines[0];
        }
        // Nothing half-built stays: no window, no timer descriptor.
        EXPECT_EQ(QApplication::topLevelWidgets().size(), windows_before);
        EXPECT_EQ(open_descriptors(), descriptors_before);
        return failure;
    }

    static bool says(const Failure &failure, const std::string &text)
    {
        return !failure.lines.empty() && failure.lines[0].find(text) != std::string::npos;
    }
};

// --- good documents -------------------------------------------------------

TEST_F(EngineLoadTest, OperatorPanelLoadsWithItsControls)
{
    const int handle = LoadPanel(0, (panels_dir() + "/operator.ui").c_str(), 1);
    ASSERT_GE(handle, 1);

    QWidget *root = stelmo::engine::panel_widget(handle);
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(root->windowTitle(), QString::fromUtf8("Operator \u2014 simulated rig"));
    EXPECT_EQ(root->windowTitle().toStdString(),
              "Operator \u2014 " + stelmo::engine::backend_description());

    // The timer control has no face; the other controls are where the file
    // put them.
    QWidget *ticker = stelmo::engine::control_widget(handle, 9);
    ASSERT_NE(ticker, nullptr);
    EXPECT_TRUE(ticker->isHidden());
    EXPECT_EQ(stelmo::engine::control_widget(handle, 6)->objectName(), "portSelector");
    EXPECT_EQ(stelmo::engine::control_widget(handle, 1), nullptr); // no control 1

    // stelmoTimerEnabled=false: loaded switched off, at the file's interval.
    stelmo::engine::TimerCounts counts;
    ASSERT_TRUE(stelmo::engine::timer_counts(handle, 9, counts));
    EXPECT_FALSE(counts.enabled);
    EXPECT_EQ(counts.interval_ms, 10);
}

TEST_F(EngineLoadTest, EachLoadGetsItsOwnHandleAndWidgets)
{
    const std::string path = panels_dir() + "/operator.ui";
    const int first = LoadPanel(0, path.c_str(), 1);
    const int second = LoadPanel(0, path.c_str(), 1);
    ASSERT_GE(first, 1);
    ASSERT_GE(second, 1);
    EXPECT_NE(first, second);
    EXPECT_NE(stelmo::engine::panel_widget(first), stelmo::engine::panel_widget(second));

    // A failure in between does not disturb the numbering of later loads.
    StderrCapture quiet;
    EXPECT_LT(LoadPanel(0, path.c_str(), 99), 0);
    const int third = LoadPanel(0, path.c_str(), 1);
    EXPECT_GE(third, 1);
    EXPECT_NE(third, first);
    EXPECT_NE(third, second);
}

TEST_F(EngineLoadTest, MainWindowPanelWithNestedControlsAndATimerLoadedOff)
{
    const int handle = LoadPanel(0, (panels_dir() + "/main_window.ui").c_str(), 2);
    ASSERT_GE(handle, 1);
    // The button sits inside a group box inside the central widget.
    EXPECT_NE(qobject_cast<QPushButton *>(stelmo::engine::control_widget(handle, 12)), nullptr);

    // No stelmoTimerEnabled: off all the same, until the program says.
    stelmo::engine::TimerCounts counts;
    ASSERT_TRUE(stelmo::engine::timer_counts(handle, 13, counts));
    EXPECT_FALSE(counts.enabled);
    QCoreApplication::processEvents();
    ASSERT_TRUE(stelmo::engine::timer_counts(handle, 13, counts));
    EXPECT_FALSE(counts.enabled);
}

TEST_F(EngineLoadTest, TimerIntervalsFromATenthOfAMillisecondToADay)
{
    struct Case {
        std::string written; // the property's value element
        double ms;
    };
    for (const Case &c :
         {Case{"<double>0.1</double>", 0.1}, Case{"<double>0.25</double>", 0.25},
          Case{"<number>10</number>", 10}, Case{"<number>86400000</number>", 86400000}}) {
        const std::string property =
            "   <property name=\"stelmoInterval\" stdset=\"0\">" + c.written +
            "</property>\n"
            "   <property name=\"stelmoTimerEnabled\" stdset=\"0\"><bool>false</bool></property>\n";
        const std::string document =
            panel_document(widget("QWidget", "tick", 9, "engine_test_tick", 0, property));
        const int handle = LoadPanel(0, dir.write("timer.ui", document).c_str(), 1);
        ASSERT_GE(handle, 1) << c.written;
        stelmo::engine::TimerCounts counts;
        ASSERT_TRUE(stelmo::engine::timer_counts(handle, 9, counts));
        EXPECT_DOUBLE_EQ(counts.interval_ms, c.ms) << c.written;
        EXPECT_TRUE(stelmo::engine::discard_panel(handle));
    }
}

TEST_F(EngineLoadTest, AnyFileNameIsAFormAndAnUntitledPanelIsNamedAfterTheProgram)
{
    std::string document = panel_document(widget("QPushButton", "b", 2, "engine_test_click"));
    const std::string title =
        "<property name=\"windowTitle\"><string>Test panel</string></property>";
    document.erase(document.find(title), title.size());
    const int handle = LoadPanel(0, dir.write("stelmo.uir", document).c_str(), 1);
    ASSERT_GE(handle, 1);
    EXPECT_EQ(stelmo::engine::panel_widget(handle)->windowTitle(),
              QString::fromUtf8("stelmo \u2014 simulated rig"));
}

TEST_F(EngineLoadTest, FormLoaderWarningsNameThePanelFile)
{
    // Two widgets in one cell of a form layout: the loader keeps one and warns.
    const std::string cell =
        "<item row=\"0\" column=\"1\"><widget class=\"QLabel\" name=\"%\"/></item>";
    std::string twice = cell + cell;
    twice.replace(twice.find('%'), 1, "first");
    twice.replace(twice.find('%'), 1, "second");
    std::string document = panel_document("");
    const std::string layout = "<layout class=\"QFormLayout\" name=\"form\">" + twice + "</layout>";
    document.insert(document.rfind("</widget>"), layout);
    const std::string path = dir.write("doubled.ui", document);

    StderrCapture capture;
    EXPECT_GE(LoadPanel(0, path.c_str(), 1), 1);
    const auto lines = lines_of(capture.text());
    ASSERT_FALSE(lines.empty());
    for (const std::string &line : lines)
        EXPECT_EQ(line.rfind("stelmo: " + path + ": ", 0), 0u) << line;
}

// --- failures and their codes ---------------------------------------------

TEST_F(EngineLoadTest, ArgumentsAreChecked)
{
    StderrCapture capture;
    EXPECT_EQ(LoadPanel(0, nullptr, 1), ERR_BAD_ARGUMENT);
    EXPECT_EQ(LoadPanel(3, (panels_dir() + "/operator.ui").c_str(), 1), ERR_BAD_ARGUMENT);
    EXPECT_EQ(LoadPanel(0, "", 1), ERR_BAD_ARGUMENT);
    const auto lines = lines_of(capture.text());
    ASSERT_EQ(lines.size(), 3u);
    for (const auto &line : lines)
        EXPECT_EQ(line.rfind("stelmo: LoadPanel: ", 0), 0u) << line;
}

TEST_F(EngineLoadTest, MissingEmptyAndSpecialFilesAreFileFaults)
{
    EXPECT_EQ(load_path_failing(dir.path() + "/absent.ui").code, ERR_PANEL_FILE);

    const auto empty = load_path_failing(dir.write("empty.ui", ""));
    EXPECT_EQ(empty.code, ERR_PANEL_FILE);
    EXPECT_TRUE(says(empty, "empty"));

    EXPECT_EQ(load_path_failing(dir.path()).code, ERR_PANEL_FILE); // a directory
    EXPECT_EQ(load_path_failing("/dev/zero").code, ERR_PANEL_FILE);

    // A FIFO without a writer: refused at once instead of waiting forever.
    const std::string fifo = dir.path() + "/fifo.ui";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(load_path_failing(fifo).code, ERR_PANEL_FILE);
}

TEST_F(EngineLoadTest, HugeFileIsRefusedUnread)
{
    std::string document = panel_document(widget("QPushButton", "b", 2, "engine_test_click"));
    document.insert(document.find("<ui"), std::string(5 * 1024 * 1024, ' '));
    const auto failure = load_failing(document);
    EXPECT_EQ(failure.code, ERR_PANEL_FILE);
    EXPECT_TRUE(says(failure, "too large"));
}

TEST_F(EngineLoadTest, DocumentsThatAreNoPanels)
{
    const auto not_panel = load_path_failing(panels_dir() + "/not_a_panel.ui");
    EXPECT_EQ(not_panel.code, ERR_NOT_A_PANEL);
    EXPECT_TRUE(says(not_panel, "stelmoPanel"));

    EXPECT_EQ(load_failing("<html><body>hello</body></html>").code, ERR_NOT_A_PANEL);
    const char binary[] = "\x7f"
                          "ELF\x02\x01\x01\0\0\0garbage\xff\xfe";
    EXPECT_EQ(load_failing(std::string(binary, sizeof binary - 1)).code, ERR_NOT_A_PANEL);
    EXPECT_EQ(load_failing("<ui version=\"4.0\"></ui>").code, ERR_NOT_A_PANEL); // no widget

    // Malformed XML and invalid UTF-8: the report says where.
    const std::string good = panel_document(widget("QPushButton", "b", 2, "engine_test_click"));
    EXPECT_TRUE(says(load_failing(good.substr(0, good.size() / 2)), "line "));
    std::string bad_bytes = good;
    bad_bytes.replace(bad_bytes.find("Test panel"), 4, "\xc3\x28\xff\xfe");
    const auto encoding = load_failing(bad_bytes);
    EXPECT_EQ(encoding.code, ERR_NOT_A_PANEL);
    EXPECT_TRUE(says(encoding, "line "));

    std::string text_panel = panel_document("");
    const std::string number = "<number>1</number>";
    text_panel.replace(text_panel.find(number), number.size(), "<string>1</string>");
    const auto text = load_failing(text_panel);
    EXPECT_EQ(text.code, ERR_NOT_A_PANEL);
    EXPECT_TRUE(says(text, "not a whole number"));
}

TEST_F(EngineLoadTest, EveryTruncationFailsCleanlyOrLoads)
{
    const std::string document = read_file(panels_dir() + "/operator.ui");
    int failures = 0;
    for (std::size_t cut = 0; cut < document.size(); cut += 23) {
        const std::string path = dir.write("cut.ui", document.substr(0, cut));
        StderrCapture quiet;
        const int code = LoadPanel(0, path.c_str(), 1);
        if (code < 0) {
            ++failures;
            EXPECT_TRUE(code == ERR_PANEL_FILE || code == ERR_NOT_A_PANEL) << "cut " << cut;
            EXPECT_EQ(lines_of(quiet.text()).size(), 1u) << "cut " << cut;
        }
    }
    EXPECT_EQ(failures, static_cast<int>((document.size() + 22) / 23));
}

TEST_F(EngineLoadTest, HostileStructureIsRefusedBeforeTheFormLoader)
{
    // Deep nesting would overflow the form loader's recursion.
    std::string deep = "<ui version=\"4.0\"><widget class=\"QWidget\" name=\"p\">";
    for (int i = 0; i < 50000; ++i)
        deep += "<widget class=\"QWidget\">";
    for (int i = 0; i < 50000; ++i)
        deep += "</widget>";
    deep += "</widget></ui>";
    const auto nested = load_failing(deep);
    EXPECT_EQ(nested.code, ERR_NOT_A_PANEL);
    EXPECT_TRUE(says(nested, "nested"));

    // Entity expansion through a document type declaration.
    const std::string laughs = "<?xml version=\"1.0\"?>\n<!DOCTYPE ui [<!ENTITY a \"aaaaaaaaaa\">"
                               "<!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;\"><!ENTITY c "
                               "\"&b;&b;&b;&b;&b;&b;&b;&b;\">]>\n" +
                               panel_document("").substr(panel_document("").find("<ui"));
    EXPECT_EQ(load_failing(laughs).code, ERR_NOT_A_PANEL);

    // Thousands of widgets.
    std::string crowd;
    for (int i = 0; i < 6000; ++i)
        crowd += "<widget class=\"QLabel\"/>";
    EXPECT_EQ(load_failing(panel_document(crowd)).code, ERR_NOT_A_PANEL);
}

TEST_F(EngineLoadTest, WrongPanelIdIsNoSuchPanel)
{
    const auto failure = load_path_failing(panels_dir() + "/operator.ui", 2);
    EXPECT_EQ(failure.code, ERR_NO_SUCH_PANEL);
    EXPECT_TRUE(says(failure, "panel 1, not panel 2"));
    // The id as the file writes it: the form loader reads "0x1" as 0.
    std::string hex = panel_document(widget("QPushButton", "b", 2, "engine_test_click"));
    hex.replace(hex.find("<number>1</number>"), 18, "<number>0x1</number>");
    EXPECT_TRUE(says(load_failing(hex), "holds panel 0x1, not panel 1"));
}

TEST_F(EngineLoadTest, BadControlsAreNamed)
{
    // A timer whose stelmoInterval is <`type`>`value`</`type`>.
    const auto interval = [](const std::string &type, const std::string &value) {
        return widget("QWidget", "tick", 9, "engine_test_tick", 0,
                      "   <property name=\"stelmoInterval\" stdset=\"0\"><" + type + ">" + value +
                          "</" + type + "></property>\n");
    };
    const std::string combo_items =
        "   <item><property name=\"text\"><string>a</string></property></item>\n";
    const auto keys = [](const std::string &text) {
        return "   <property name=\"stelmoKeys\" stdset=\"0\"><string>" + text +
               "</string></property>\n";
    };
    const std::string go = "   <property name=\"text\"><string>&amp;Go</string></property>\n";
    struct Case {
        std::string controls;
        std::string fault;
    };
    const Case cases[] = {
        {widget("QComboBox", "comboBox", 6, "", 0, combo_items) +
             widget("QComboBox", "comboBox_2", 6, "", 0, combo_items),
         "control 6 \"comboBox_2\" appears twice"},
        {widget("QWidget", "tick", 9, "engine_test_tick", 5) + widget("QLabel", "label", 3),
         "QLabel, which cannot be a control"}, // after a good timer
        {widget("QWidget", "tick", 9, "engine_test_tick"), "without stelmoInterval"},
        {widget("QWidget", "tick", 9, "engine_test_tick", -5), "stelmoInterval -5; a timer needs"},
        // Fractions of a millisecond, down to 0.1; the value as the file
        // writes it (the form loader reads "abc" as 0 and "1e400" as inf).
        {interval("number", "0"), "stelmoInterval 0; a timer needs 0.1 to 86400000 milliseconds"},
        {interval("double", "0.0999"), "stelmoInterval 0.0999;"},
        {interval("double", "86400000.001"), "stelmoInterval 86400000.001;"},
        {interval("double", "nan"), "stelmoInterval nan;"},
        {interval("double", "-inf"), "stelmoInterval -inf;"},
        {interval("double", "1e400"), "stelmoInterval 1e400;"},
        {interval("double", "abc"), "stelmoInterval abc;"},
        {interval("string", "10"), "stelmoInterval \"10\", which is not a <number> or <double>"},
        {widget("QWidget", "tick", 9, "", 10), "timer without a callback"},
        {widget("QPushButton", "b", 2, "", 10), "only a plain QWidget can be a timer"},
        {widget("QDoubleSpinBox", "d", 5, "engine_test_click"), "numeric display"},
        {widget("QPushButton", "b", 0, "engine_test_click"), "no stelmoCtrl"},
        {widget("QPushButton", "b", -1), "a control id is a whole number above 0"},
        // Other properties as the file writes them too, not as the loader read them.
        {widget("QPushButton", "b", 0, "", 0,
                "   <property name=\"stelmoCtrl\" stdset=\"0\"><number>2147483648</number>"
                "</property>\n"),
         "stelmoCtrl 2147483648; a control id"},
        {widget("QPushButton", "b", 2, "", 0,
                "   <property name=\"stelmoKeys\" stdset=\"0\"><number>0x1b</number></property>\n"),
         "stelmoKeys 0x1b, which is not text"},
        {widget("QComboBox", "empty", 6), "selector without entries"},
        {widget("QPushButton", "b", 2, "", 0,
                "   <property name=\"stelmoCallbak\" stdset=\"0\"><string>x</string></property>\n"),
         "unknown property stelmoCallbak"},
        {widget("QComboBox", "c", 6, "", 0, combo_items + keys("Esc")),
         "only a button takes stelmoKeys"},
        {widget("QPushButton", "b", 2, "", 0, keys("Esc; Escape, F5;Foo")),
         "\"Foo\" is not one key"},
        {widget("QPushButton", "b", 2, "", 0, keys("Alt")), "\"Alt\" is not one key"},
        {widget("QPushButton", "go", 2, "", 0, go) +
             widget("QPushButton", "b", 3, "", 0, keys("Alt+G")),
         "answers Alt+G, as control 2 \"go\" does"},
    };
    for (const Case &c : cases) {
        const auto failure = load_failing(panel_document(c.controls));
        EXPECT_EQ(failure.code, ERR_BAD_CONTROL) << c.fault;
        EXPECT_TRUE(says(failure, c.fault)) << (failure.lines.empty() ? "" : failure.lines[0]);
    }
}

// --- callbacks ------------------------------------------------------------

TEST_F(EngineLoadTest, CallbackNamesOutsideTheProgramAreRefused)
{
    struct Case {
        std::string name;
        std::string fault;
    };
    const Case cases[] = {
        {"tmer", "names callback \"tmer\", which the program does not have"},
        {"abort", "names callback \"abort\", which is not a function of the program"},
        {"exit", "names callback \"exit\", which is not a function of the program"},
        {"main", "names callback \"main\", which is not a control callback"},
        {"LoadPanel", "names callback \"LoadPanel\", which is not a control callback"},
        {"atexit", "names callback \"atexit\", which is not a control callback"},
        {"engine_test_not_a_function",
         "names callback \"engine_test_not_a_function\", which is not a function"},
        {"_ZN7support12start_engineEv", "which is not a control callback"},
        {"engine_test_click(1)", "which is not a C function name"},
        {"", "which is not a C function name"},
    };
    for (const Case &c : cases) {
        const std::string callback = "   <property name=\"stelmoCallback\" stdset=\"0\"><string>" +
                                     c.name + "</string></property>\n";
        const auto failure =
            load_failing(panel_document(widget("QPushButton", "b", 2, "", 0, callback)));
        EXPECT_EQ(failure.code, ERR_BAD_CONTROL) << c.name;
        EXPECT_TRUE(says(failure, c.fault)) << (failure.lines.empty() ? "" : failure.lines[0]);
    }
}

// --- where panel files are looked for -------------------------------------

TEST_F(EngineLoadTest, LookupOrderIsSiteDirsThenExecutableDirThenShareThenWorkingDir)
{
    const std::string exe_dir = dir.path() + "/opt/bin";
    const std::string work_dir = dir.path() + "/work";
    const std::string beside = exe_dir + "/p.ui";
    const std::string shared = dir.path() + "/opt/share/stelmo/p.ui";
    const std::string here = work_dir + "/p.ui";

    EXPECT_EQ(stelmo::engine::panel_file_candidates("p.ui", exe_dir, work_dir),
              (std::vector<std::string>{beside, shared, here}));
    EXPECT_EQ(stelmo::engine::find_panel_file("p.ui", exe_dir, work_dir), "");

    dir.write("work/p.ui", "x");
    EXPECT_EQ(stelmo::engine::find_panel_file("p.ui", exe_dir, work_dir), here);
    dir.write("opt/share/stelmo/p.ui", "x");
    EXPECT_EQ(stelmo::engine::find_panel_file("p.ui", exe_dir, work_dir), shared);
    dir.write("opt/bin/p.ui", "x");
    EXPECT_EQ(stelmo::engine::find_panel_file("p.ui", exe_dir, work_dir), beside);

    // The site's directories come first: the user's, then the system's.
    const std::vector<std::string> site = {dir.path() + "/home", dir.path() + "/etc"};
    EXPECT_EQ(stelmo::engine::find_panel_file("p.ui", exe_dir, work_dir, site), beside);
    dir.write("etc/p.ui", "x");
    EXPECT_EQ(stelmo::engine::find_panel_file("p.ui", exe_dir, work_dir, site), site[1] + "/p.ui");
    dir.write("home/p.ui", "x");
    EXPECT_EQ(stelmo::engine::find_panel_file("p.ui", exe_dir, work_dir, site), site[0] + "/p.ui");

    // An absolute name is taken as it is.
    EXPECT_EQ(stelmo::engine::panel_file_candidates(here, exe_dir, work_dir, site),
              (std::vector<std::string>{here}));
}

TEST_F(EngineLoadTest, LoadPanelLooksBesideTheExecutableFirstAndInTheWorkingDirLast)
{
    const std::string name = "engine_lookup_" + std::to_string(getpid()) + ".ui";
    const std::string exe_dir = QApplication::applicationDirPath().toStdString();
    const std::string share_dir =
        std::filesystem::path(exe_dir).parent_path().string() + "/share/stelmo";

    // Nowhere: the report lists the three places in order.
    {
        StderrCapture capture;
        EXPECT_EQ(LoadPanel(0, name.c_str(), 1), ERR_PANEL_FILE);
        const auto lines = lines_of(capture.text());
        ASSERT_EQ(lines.size(), 1u);
        const auto at_exe = lines[0].find(exe_dir + "/" + name);
        const auto at_share = lines[0].find(share_dir + "/" + name);
        const auto at_work = lines[0].find(dir.path() + "/" + name);
        EXPECT_NE(at_exe, std::string::npos) << lines[0];
        EXPECT_NE(at_share, std::string::npos) << lines[0];
        EXPECT_LT(at_exe, at_share);
        EXPECT_EQ(at_work, std::string::npos); // the test runs elsewhere
    }

    // Found in the working directory.
    dir.write(name, panel_document(widget("QPushButton", "b", 2, "engine_test_click")));
    const std::string previous = std::filesystem::current_path().string();
    std::filesystem::current_path(dir.path());
    const int handle = LoadPanel(0, name.c_str(), 1);
    std::filesystem::current_path(previous);
    EXPECT_GE(handle, 1);
}

} // namespace
