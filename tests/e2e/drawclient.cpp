// A small X client whose window holds every kind of drawing the relay codes specially: PolyLine in
// both coordinate modes, PolySegment, PolyRectangle, PolyFillRectangle, ImageText8 (whole strings,
// and the typing-echo triples and pairs of a terminal), a long PutImage and runs of small requests.
// Usage:
//   lqdraw draw WIDFILE DONEFILE   draws, writes its window id to WIDFILE once the server has
//                                  processed everything, then waits until DONEFILE exists
//   lqdraw partial WIDFILE         maps a window, sends the first half of a long request and waits
//                                  (to be killed in the middle of it)
//   lqdraw many N                  opens N connections at once, makes a round trip on each, and
//                                  prints how many opened and how many answered
//   lqdraw colors FILE             allocates 64 colours of the default colormap one after another
//                                  and writes what the X server gave for each to FILE
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

static int Many(int n) {
    std::vector<Display*> ds;
    int opened = 0, answered = 0;
    for (int i = 0; i < n; i++) {
        Display* d = XOpenDisplay(nullptr);
        if (!d) continue;
        ds.push_back(d);
        opened++;
    }
    for (Display* d : ds)
        if (XInternAtom(d, "WM_PROTOCOLS", False) != None) answered++;
    std::printf("opened %d answered %d\n", opened, answered);
    for (Display* d : ds) XCloseDisplay(d);
    return 0;
}

static int Colors(const char* file) {
    Display* d = XOpenDisplay(nullptr);
    FILE* f = d ? std::fopen(file, "w") : nullptr;
    if (!f) return 1;
    for (int i = 0; i < 64; i++) {
        XColor c{};
        c.red = static_cast<unsigned short>(i * 1021);
        c.green = static_cast<unsigned short>(65535 - i * 977);
        c.blue = static_cast<unsigned short>((i * 40503) & 0xffff);
        const unsigned short r = c.red, g = c.green, b = c.blue;
        if (!XAllocColor(d, DefaultColormap(d, DefaultScreen(d)), &c)) return 1;
        std::fprintf(f, "%u %u %u -> %u %u %u %lu\n", r, g, b, c.red, c.green, c.blue, c.pixel);
    }
    std::fclose(f);
    XCloseDisplay(d);
    return 0;
}

static int Partial(const char* widFile) {
    Display* d = XOpenDisplay(nullptr);
    if (!d) return 1;
    Window w = XCreateSimpleWindow(d, DefaultRootWindow(d), 0, 0, 50, 50, 0, 0, 0);
    XStoreName(d, w, "lqpartial");
    XMapWindow(d, w);
    XSync(d, False);
    // A PutImage of 4000 bytes of which only the first 1000 are ever sent.
    std::vector<unsigned char> req(1000, 0x55);
    const uint16_t len = 4000 / 4;
    req[0] = 72;  // PutImage
    req[1] = 2;   // ZPixmap
    std::memcpy(&req[2], &len, 2);  // the client's own byte order
    if (write(ConnectionNumber(d), req.data(), req.size()) != static_cast<ssize_t>(req.size())) return 1;
    FILE* f = std::fopen(widFile, "w");
    if (!f) return 1;
    std::fprintf(f, "0x%lx %d\n", w, static_cast<int>(getpid()));
    std::fclose(f);
    for (;;) pause();
}

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "partial") == 0) return Partial(argv[2]);
    if (argc == 3 && std::strcmp(argv[1], "many") == 0) return Many(std::atoi(argv[2]));
    if (argc == 3 && std::strcmp(argv[1], "colors") == 0) return Colors(argv[2]);
    if (argc != 4 || std::strcmp(argv[1], "draw") != 0) {
        std::fprintf(stderr, "usage: lqdraw draw WIDFILE DONEFILE | partial WIDFILE | many N | colors FILE\n");
        return 2;
    }
    argv++;
    Display* d = XOpenDisplay(nullptr);
    if (!d) {
        std::fprintf(stderr, "lqdraw: cannot open display\n");
        return 1;
    }
    const int scr = DefaultScreen(d);
    const unsigned W = 200, H = 150;
    XSetWindowAttributes swa{};
    swa.background_pixel = WhitePixel(d, scr);
    swa.override_redirect = True;
    swa.event_mask = ExposureMask;
    Window w = XCreateWindow(d, RootWindow(d, scr), 0, 0, W, H, 0, CopyFromParent, InputOutput, CopyFromParent,
                             CWBackPixel | CWOverrideRedirect | CWEventMask, &swa);
    XMapWindow(d, w);
    for (XEvent ev;;) {
        XNextEvent(d, &ev);
        if (ev.type == Expose) break;
    }
    Font font = XLoadFont(d, "fixed");
    XGCValues gv{};
    gv.foreground = BlackPixel(d, scr);
    gv.background = WhitePixel(d, scr);
    gv.font = font;
    GC gc = XCreateGC(d, w, GCForeground | GCBackground | GCFont, &gv);
    gv.foreground = WhitePixel(d, scr);
    gv.background = BlackPixel(d, scr);
    GC cursor = XCreateGC(d, w, GCForeground | GCBackground | GCFont, &gv);

    // Lines: absolute and relative points, short and long runs.
    XPoint pts[40];
    for (int i = 0; i < 40; i++) pts[i] = {static_cast<short>(4 + i * 4), static_cast<short>(4 + (i * 7) % 23)};
    XDrawLines(d, w, gc, pts, 40, CoordModeOrigin);
    XPoint rel[12] = {{10, 40}, {5, 2}, {5, -2}, {5, 3}, {-1, 4}, {7, 0}, {3, -5}, {2, 2}, {9, 1}, {-4, 3}, {6, 6}, {1, -9}};
    XDrawLines(d, w, gc, rel, 12, CoordModePrevious);
    XDrawLines(d, w, gc, rel, 3, CoordModePrevious);
    // Segments, rectangles, filled rectangles.
    XSegment segs[15];
    for (int i = 0; i < 15; i++) segs[i] = {static_cast<short>(100 + i * 6), 30, static_cast<short>(104 + i * 6), static_cast<short>(38 + i % 4)};
    XDrawSegments(d, w, gc, segs, 15);
    XRectangle rects[12];
    for (int i = 0; i < 12; i++)
        rects[i] = {static_cast<short>(6 + i * 15), 50, static_cast<unsigned short>(8 + i % 3), static_cast<unsigned short>(6 + i % 5)};
    XDrawRectangles(d, w, gc, rects, 12);
    for (int i = 0; i < 12; i++) rects[i].y = 62;
    XFillRectangles(d, w, gc, rects, 12);
    XFillRectangle(d, w, gc, 190, 140, 5, 5);
    // Text: whole strings, then a typed line: the cursor cell, the character, the cursor moving on.
    XDrawImageString(d, w, gc, 4, 84, "Linear relay 0123", 17);
    XDrawImageString(d, w, gc, 4, 84, "Linear relay 0123", 17);
    XDrawImageString(d, w, gc, 120, 84, "x", 1);
    const char* typed = "echo hello";
    int x = 4;
    for (int i = 0; typed[i]; i++) {
        if (i % 3 != 2) XDrawImageString(d, w, cursor, x, 98, " ", 1);
        XDrawImageString(d, w, gc, x, 98, typed + i, 1);
        XDrawImageString(d, w, cursor, x + 6, 98, " ", 1);
        XFlush(d);
        x += 6;
        if (i % 4 == 3) usleep(40000);  // some keys come alone
    }
    // A long request: a patterned image.
    XImage* img = XGetImage(d, w, 0, 0, 40, 40, AllPlanes, ZPixmap);
    if (img) {
        for (int yy = 0; yy < 40; yy++)
            for (int xx = 0; xx < 40; xx++) XPutPixel(img, xx, yy, ((xx ^ yy) & 4) ? BlackPixel(d, scr) : ((xx * 7 + yy * 3) & 0xffffff));
        XPutImage(d, w, gc, img, 0, 0, 150, 100, 40, 40);
        XDestroyImage(img);
    }
    // Small requests that repeat with small changes.
    for (int i = 0; i < 30; i++) {
        XSetForeground(d, gc, (i & 1) ? BlackPixel(d, scr) : 0x336699);
        XDrawPoint(d, w, gc, 4 + i * 2, 110);
        XCopyArea(d, w, w, gc, 4, 4, 8, 8, 4 + i * 4, 120);
    }
    XSync(d, False);

    FILE* f = std::fopen(argv[1], "w");
    if (!f) return 1;
    std::fprintf(f, "0x%lx\n", w);
    std::fclose(f);
    struct stat st;
    while (stat(argv[2], &st) != 0) usleep(50000);
    XFreeGC(d, gc);
    XFreeGC(d, cursor);
    XUnloadFont(d, font);
    XCloseDisplay(d);
    return 0;
}
