// Paints a colourful, asymmetric picture on the root window of $DISPLAY for the dump tests.
#include <X11/Xlib.h>

#include <cstdio>

int main() {
  Display *d = XOpenDisplay(nullptr);
  if (!d) {
    fprintf(stderr, "paint: cannot open display\n");
    return 1;
  }
  int s = DefaultScreen(d);
  Window root = RootWindow(d, s);
  Colormap cm = DefaultColormap(d, s);
  int w = DisplayWidth(d, s), h = DisplayHeight(d, s);
  GC gc = XCreateGC(d, root, 0, nullptr);
  auto colour = [&](unsigned r, unsigned g, unsigned b, unsigned long *pixel) {
    XColor c;
    c.red = (unsigned short)r;
    c.green = (unsigned short)g;
    c.blue = (unsigned short)b;
    c.flags = DoRed | DoGreen | DoBlue;
    if (!XAllocColor(d, cm, &c)) return false;
    *pixel = c.pixel;
    return true;
  };
  for (int y = 0; y < h; y += 4)
    for (int x = 0; x < w; x += 8) {
      unsigned long p;
      if (!colour((unsigned)(x * 65535 / (w - 1)), (unsigned)(y * 65535 / (h - 1)),
                  (unsigned)((x * 7 + y * 13) % 256 * 257), &p))
        continue;
      XSetForeground(d, gc, p);
      XFillRectangle(d, root, gc, x, y, 8, 4);
    }
  // A one-pixel diagonal and a corner mark, so a turned or mirrored picture shows.
  unsigned long p;
  if (colour(65535, 65535, 65535, &p)) {
    XSetForeground(d, gc, p);
    for (int i = 0; i < h && i < w; i++) XDrawPoint(d, root, gc, i, i);
    XFillRectangle(d, root, gc, w - 5, 0, 5, 2);
  }
  XSync(d, False);
  XCloseDisplay(d);
  return 0;
}
