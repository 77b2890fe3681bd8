#include "core/Bitmap24.h"
#include "core/PlainDispatcher.h"
#include "core/TGlobalObject.h"
#include "core/TextUtils.h"

#include <atomic>
#include <gtest/gtest.h>
#include <stdexcept>
#include <thread>

using namespace kavlo;

TEST(Bitmap24, RowsArePaddedToFourBytes) {
    struct Case {
        int w, stride;
    } cases[] = {{1, 4}, {2, 8}, {3, 12}, {4, 12}, {5, 16}, {318, 956}, {1920, 5760}};
    for (auto c : cases) {
        Bitmap24 b(c.w, 3);
        EXPECT_EQ(b.Stride(), c.stride) << c.w;
        EXPECT_EQ(b.ByteSize(), static_cast<size_t>(c.stride) * 3);
        EXPECT_EQ(b.ScanLine(2) - b.ScanLine(0), 2 * c.stride);
    }
    Bitmap24 b(5, 2);
    b.Fill(1, 2, 3);
    EXPECT_EQ(b.ScanLine(1)[12], 1);
    EXPECT_EQ(b.ScanLine(1)[14], 3);
    EXPECT_EQ(b.ScanLine(1)[15], 0) << "padding stays untouched";
    b.SetSize(5, 2);
    EXPECT_EQ(b.ScanLine(0)[0], 1) << "same size keeps the picture";
    EXPECT_THROW(b.SetSize(-1, 2), std::invalid_argument);
}

TEST(GlobalObject, VersionTextAndSetterLengthRules) {
    EXPECT_EQ(FileVersionText(3, 3, 0, 0), " 3.300 ");
    EXPECT_EQ(FileVersionText(1, 10, 2, 15), " 1.10215 ");
    EXPECT_EQ(GetFileVersionText(), " 3.300 ");

    TGlobalObject g;
    EXPECT_EQ(GlobalObject(), &g);
    g.InitDefaults();
    EXPECT_EQ(g.AppTitle(), "Kavlo MOV to MP4 Converter");
    EXPECT_EQ(g.VersionText(), " ver 1.10 ");
    std::string settings = g.SettingsFile();
    g.SetSettingsFile("a.i");
    EXPECT_EQ(g.SettingsFile(), settings);
    g.SetSettingsFile("/a.i");
    EXPECT_EQ(g.SettingsFile(), "/a.i");
    g.SetFormatFile("abc");
    EXPECT_NE(g.FormatFile(), "abc");
    g.SetAppTitle("");
    EXPECT_EQ(g.AppTitle(), "Kavlo MOV to MP4 Converter");
    g.SetHelpUrl("x");
    EXPECT_EQ(g.HelpUrl(), "x");
}

TEST(TextUtils, RightStrAndNumberTests) {
    EXPECT_EQ(RightStr("c:\\dir\\", 1), "\\");
    EXPECT_EQ(RightStr("ab", 5), "ab");
    EXPECT_EQ(RightStr("ab", 0), "");
    for (const char* s : {"0", "-12", "+7", "2147483647", " 5"})
        EXPECT_TRUE(IsInteger(s)) << s;
    for (const char* s : {"", "-", "1.5", "2147483648", "12a", "as source"})
        EXPECT_FALSE(IsInteger(s)) << s;
    for (const char* s : {"29.97", "12.2", "-1", "5"})
        EXPECT_TRUE(IsNumber(s)) << s;
    for (const char* s : {"", "1.2.3", "x", "1,5"})
        EXPECT_FALSE(IsNumber(s)) << s;
    EXPECT_EQ(Format("%s-%d", "a", 3), "a-3");
    EXPECT_EQ(Format("%s", std::string(5000, 'x').c_str()).size(), 5000u);
}

TEST(Dispatcher, WorkerCallsRunOnTheMainThreadAndRethrow) {
    PlainDispatcher d;
    std::thread::id ranOn;
    std::atomic<bool> done{false};
    std::thread worker([&] {
        d.SyncCall([&] { ranOn = std::this_thread::get_id(); });
        try {
            d.SyncCall([] { throw std::runtime_error("boom"); });
        } catch (const std::runtime_error& e) {
            if (std::string(e.what()) == "boom")
                done = true;
        }
    });
    while (!done)
        d.WaitAndProcess(std::chrono::milliseconds(5));
    worker.join();
    EXPECT_EQ(ranOn, std::this_thread::get_id());

    int direct = 0;
    d.SyncCall([&] { ++direct; });
    EXPECT_EQ(direct, 1) << "the main thread runs a call directly";
}
