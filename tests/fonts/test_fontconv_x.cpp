// Converted fonts in a real X server: a private Xvfb gets the output directory on its font
// path, lists the fonts and their aliases, and draws a glyph from one of them.
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>

#include "tests/fonts/fontfixtures.h"

// After the test framework, whose names the X headers' macros would clash with.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace {

// An Xvfb of our own on the first free display from :90 to :99. It does not reset when its
// last client leaves, so a font path set by xset stays.
struct Xvfb {
    pid_t pid = -1;
    std::string display;
    Display* dpy = nullptr;

    Xvfb()
    {
        for (int n = 90; n <= 99 && !dpy; n++) {
            std::string lock = "/tmp/.X" + std::to_string(n) + "-lock";
            if (fontfix::exists(lock))
                continue;
            std::string name = ":" + std::to_string(n);
            pid = fork();
            if (pid == 0) {
                int null = open("/dev/null", O_WRONLY);
                dup2(null, 1);
                dup2(null, 2);
                execlp("Xvfb", "Xvfb", name.c_str(), "-nolisten", "tcp", "-noreset", "-screen", "0",
                       "320x240x24", static_cast<char*>(nullptr));
                _exit(127);
            }
            for (int tries = 0; tries < 100 && !dpy; tries++) {
                usleep(100000);
                if (waitpid(pid, nullptr, WNOHANG) == pid) {  // lost the display to another
                    pid = -1;
                    break;
                }
                // Only our own server will do, not one that another user started meanwhile.
                if (atoi(fontfix::read_file(lock).c_str()) == pid)
                    dpy = XOpenDisplay(name.c_str());
            }
            if (dpy)
                display = name;
            else
                stop();
        }
    }
    void stop()
    {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
        pid = -1;
    }
    ~Xvfb()
    {
        if (dpy)
            XCloseDisplay(dpy);
        stop();
    }
    std::string sh(const std::string& cmd) const
    {
        return fontfix::shell_output("DISPLAY=" + display + " " + cmd + " 2>&1");
    }
};

TEST(FontconvX, ServerLoadsConvertedFontsAndAliases)
{
    fontfix::Scene s;
    fontfix::RunResult r = s.run({"times", "courier", "helv-12", "Times Roman"});
    ASSERT_EQ(r.status, 0) << r.err;

    Xvfb x;
    ASSERT_NE(x.dpy, nullptr) << "no Xvfb could be started on :90 to :99";
    ASSERT_EQ(x.sh("xset fp+ " + fontfix::sh_quote(s.out) + " && echo ok"), "ok");
    EXPECT_EQ(x.sh("xlsfonts -fn 'times*'"), "times\ntimes roman\ntimes12");
    EXPECT_EQ(x.sh("xlsfonts -fn 'helv*'"), "helv-12\nhelvetica12");
    EXPECT_EQ(x.sh("xlsfonts -fn courier14"), "courier14");

    // Open the alias and draw "A": the pixels are the glyph's bitmap rows.
    XFontStruct* fs = XLoadQueryFont(x.dpy, "times");
    ASSERT_NE(fs, nullptr);
    EXPECT_EQ(fs->ascent, 7);
    EXPECT_EQ(fs->descent, 1);
    EXPECT_EQ(fs->min_char_or_byte2, 32u);
    EXPECT_EQ(fs->max_char_or_byte2, 65u);
    Pixmap pm = XCreatePixmap(x.dpy, DefaultRootWindow(x.dpy), 8, 8, 1);
    GC gc = XCreateGC(x.dpy, pm, 0, nullptr);
    XSetForeground(x.dpy, gc, 0);
    XFillRectangle(x.dpy, pm, gc, 0, 0, 8, 8);
    XSetForeground(x.dpy, gc, 1);
    XSetFont(x.dpy, gc, fs->fid);
    XDrawString(x.dpy, pm, gc, 0, fs->ascent, "A", 1);
    XImage* img = XGetImage(x.dpy, pm, 0, 0, 8, 8, 1, XYPixmap);
    ASSERT_NE(img, nullptr);
    const unsigned char rows[8] = {0x00, 0x18, 0x24, 0x42, 0x7E, 0x42, 0x42, 0x00};
    for (int y = 0; y < 8; y++) {
        unsigned char got = 0;
        for (int px = 0; px < 8; px++)
            got |= (XGetPixel(img, px, y) ? 1 : 0) << (7 - px);
        EXPECT_EQ(got, rows[y]) << "row " << y;
    }
    XDestroyImage(img);
    XFreeGC(x.dpy, gc);
    XFreePixmap(x.dpy, pm);
    XFreeFont(x.dpy, fs);
    XFontStruct* helv = XLoadQueryFont(x.dpy, "helv-12");
    ASSERT_NE(helv, nullptr);
    XFreeFont(x.dpy, helv);
}

} // namespace
