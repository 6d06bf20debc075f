#include "hardcopy/hc.h"

#include <cstdarg>
#include <cstdlib>
#include <cstring>

const SupportedHCRow SupportedHC[7] = {
    {"nrv7310", 92, 1536, 1152},   {"nrv7320", 93, 2440, 2492}, {"nrv7320d", 93, 2440, 2492},
    {"nrv7320dx", 93, 2440, 2492}, {"nrv7360", 96, 2440, 2492}, {"nrv7370", 97, 2440, 2492},
    {"tintswift", 97, 2440, 2490},
};

void HcInit(HcRun *run, const char *program_name) {
  run->program_name = program_name;
  run->infile = stdin;
  run->outfile = stdout;
  HCRec *hc = &run->HC;
  hc->printer_name = nullptr;
  hc->printer_type = 93;
  hc->max_width = 2440;
  hc->max_height = 2492;
  hc->copies = 1;
  hc->render_mode = 2;
  hc->orientation = HC_LANDSCAPE;
  hc->invert = HC_NO;
  hc->scaling = HC_DEFAULT;
  hc->color_set = HC_DEFAULT;
  hc->gamma = HC_DEFAULT;
  hc->color_adjustment = HC_DEFAULT;
  hc->media_size = HC_MEDIA_DEFAULT;
  hc->media_type = HC_MEDIA_NOT_GIVEN;
  hc->local_gamma = 1;
  hc->pixel_order = 1;
  hc->out_width = 0;
  hc->out_height = 0;
  hc->repaint_count = 1;
  hc->density = 1;
  hc->resolution = 1;
  hc->paper_advance = 1;
  hc->media_width = 1;
  hc->media_orientation = 3;
  hc->byte_ack = 1;
}

void ErrorF(const HcRun *run, const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  fprintf(stderr, "%s: ", run->program_name);
  vfprintf(stderr, format, ap);
  va_end(ap);
}

void FatalError(const HcRun *run, const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  fprintf(stderr, "%s: ", run->program_name);
  vfprintf(stderr, format, ap);
  va_end(ap);
  fflush(run->outfile);
  exit(1);
}

void Usage(const HcRun *run) {
  fprintf(stderr,
          "Usage: %s\t[-in file]  [-out file]  [-hc copier_type]\n"
          "\t\t[-colors eight_colors | full_color_1 | full_color_2 |\n"
          "\t\t\t  black_white | gray_shading | error_diffusion |\n"
          "\t\t\t  default]\n"
          "\t\t[-scale  interpolation | replication | none | default]\n"
          "\t\t[-correction  7320d | nrv_terminal | none | default]\n"
          "\t\t[-orientation  landscape | top | center | bottom]\n"
          "\t\t[-gamma  2.2 | 2.4 | 2.6 | 2.8 | none | default]\n"
          "\t\t[-paper  a | a3 | a4 | legal | a4_special | b | 12x18 | default]\n"
          "\t\t[-dither  dither | colormatch | none]\n"
          "\t\t[-media paper | transparency ]\n"
          "\t\t[-invert  yes | no | default]\n"
          "\t\t[-resolution  low | high]\n"
          "\t\t[-density  low | high]\n"
          "\t\t[-repaint  count]\n"
          "\t\t[-nlg]           no local gamma correction\n"
          "\t\t[-pa]            paper advance\n"
          "\t\t[-stream]        use data streaming instead of bytewise ack\n"
          "\t\t[-numcop <int>]  must be 0 through 32767\n",
          run->program_name);
}

namespace {

struct Choice {
  const char *word;
  int32_t value;
};

// Looks value up in the list; stores its code in *field. 0 on a match, else 1.
template <size_t N>
int Choose(const Choice (&list)[N], const char *value, int32_t *field) {
  for (const Choice &c : list)
    if (strcmp(c.word, value) == 0) {
      *field = c.value;
      return 0;
    }
  return 1;
}

// Leading decimal digits as a number, like atoi, but saturating instead of overflowing.
long DecimalValue(const char *s) {
  while (*s == ' ' || (*s >= '\t' && *s <= '\r')) s++;
  bool negative = false;
  if (*s == '+' || *s == '-') negative = *s++ == '-';
  long v = 0;
  for (; *s >= '0' && *s <= '9'; s++)
    if (v < 100000000L) v = v * 10 + (*s - '0');
  return negative ? -v : v;
}

}  // namespace

int Set_Orientation(HcRun *run, const char *value) {
  static const Choice list[] = {
      {"landscape", HC_LANDSCAPE}, {"top", HC_TOP}, {"center", HC_CENTER}, {"bottom", HC_BOTTOM}};
  if (!value || Choose(list, value, &run->HC.orientation) == 0) return 0;
  ErrorF(run, "Don't know \"%s\" orientation option\n", value);
  return 1;
}

int Set_Invert(HcRun *run, const char *value) {
  static const Choice list[] = {{"yes", HC_YES}, {"no", HC_NO}, {"default", HC_DEFAULT}};
  if (!value || Choose(list, value, &run->HC.invert) == 0) return 0;
  ErrorF(run, "Don't know \"%s\" invert option\n", value);
  return 1;
}

int Set_Scale(HcRun *run, const char *value) {
  static const Choice list[] = {{"interpolation", HC_INTERPOLATION},
                                {"replication", HC_REPLICATION},
                                {"default", HC_DEFAULT},
                                {"none", HC_NONE}};
  if (!value || Choose(list, value, &run->HC.scaling) == 0) return 0;
  ErrorF(run, "Don't know \"%s\" scale option\n", value);
  return 1;
}

int Set_Color_Set(HcRun *run, const char *value) {
  static const struct {
    const char *word;
    int32_t color_set, render_mode;
  } list[] = {{"eight_colors", 1, 0}, {"full_color_1", 2, 1},    {"full_color_2", 3, 1},
              {"black_white", 4, 4},  {"gray_shading", 5, 5},    {"error_diffusion", 6, 6},
              {"default", HC_DEFAULT, 0}};
  if (!value) return 0;
  for (const auto &c : list)
    if (strcmp(c.word, value) == 0) {
      run->HC.color_set = c.color_set;
      run->HC.render_mode = c.render_mode;
      return 0;
    }
  ErrorF(run, "Don't know \"%s\" color set option\n", value);
  return 1;
}

int Set_Gamma_Correction(HcRun *run, const char *value) {
  static const Choice list[] = {{"2.2", 2}, {"2.4", 3}, {"2.6", 4}, {"2.8", 6},
                                {"default", HC_DEFAULT}, {"none", HC_NONE}};
  if (!value || Choose(list, value, &run->HC.gamma) == 0) return 0;
  ErrorF(run, "Don't know \"%s\" gamma correction factor\n", value);
  return 1;
}

int Set_Color_Adjustment(HcRun *run, const char *value) {
  static const Choice list[] = {
      {"7320d", 3}, {"nrv_terminal", 2}, {"default", HC_DEFAULT}, {"none", HC_NONE}};
  if (!value) return 0;
  if (Choose(list, value, &run->HC.color_adjustment) == 0) {
    // Adjusting colours for a printer implies colour matching rather than plain dithering.
    if ((run->HC.color_adjustment == 3 || run->HC.color_adjustment == 2) &&
        run->HC.render_mode == 1)
      run->HC.render_mode = 2;
    return 0;
  }
  ErrorF(run, "Don't know \"%s\" color correction option\n", value);
  return 1;
}

int Set_Media_Size(HcRun *run, const char *value) {
  static const Choice list[] = {{"a", 1}, {"a3", 6}, {"a4", 2}, {"legal", 3}, {"a4_special", 4},
                                {"b", 5}, {"12x18", 7}, {"default", HC_MEDIA_DEFAULT}};
  // Only the printers of type 97 take a paper size; the others ignore the option.
  if (!value || run->HC.printer_type != 97 || Choose(list, value, &run->HC.media_size) == 0)
    return 0;
  ErrorF(run, "Don't know media form \"%s\"\n", value);
  return 1;
}

int Set_Media_Type(HcRun *run, const char *value) {
  static const Choice list[] = {{"paper", HC_PAPER}, {"transparency", HC_TRANSPARENCY}};
  if (!value || Choose(list, value, &run->HC.media_type) == 0) return 0;
  ErrorF(run, "Don't know \"%s\" media type\n", value);
  return 1;
}

int Set_Media_Advance(HcRun *run, const char *value) {
  if (value) run->HC.paper_advance = 1;
  return 0;
}

int Set_7310_Dithering(HcRun *run, const char *value) {
  static const Choice list[] = {{"dither", 1}, {"colormatch", 2}, {"none", 0}};
  if (!value || Choose(list, value, &run->HC.render_mode) == 0) return 0;
  ErrorF(run, "Don't know 7310 \"%s\" dithering option\n", value);
  return 1;
}

int Set_7310_Repaint_Count(HcRun *run, const char *value) {
  if (!value) return 0;
  long n = DecimalValue(value);
  if (n >= 1 && n <= 4) {
    run->HC.repaint_count = (int32_t)n;
    return 0;
  }
  ErrorF(run, "Repaint count must be between 1 and 4 inclusively\n");
  return 1;
}

int Set_7310_Density(HcRun *run, const char *value) {
  static const Choice list[] = {{"low", 0}, {"high", 1}};
  if (!value || Choose(list, value, &run->HC.density) == 0) return 0;
  ErrorF(run, "Don't know \"%s\" density\n", value);
  return 1;
}

int Set_7310_Resolution(HcRun *run, const char *value) {
  static const Choice list[] = {{"low", 0}, {"high", 1}};
  if (!value || Choose(list, value, &run->HC.resolution) == 0) return 0;
  ErrorF(run, "Don't know \"%s\" resolution\n", value);
  return 1;
}

int Set_Number_Copy(HcRun *run, const char *value) {
  if (!value) return 0;
  long n = DecimalValue(value);
  if (n >= 0 && n <= 32767) {
    run->HC.copies = (int32_t)n;
    return 0;
  }
  ErrorF(run, "Number of copiew must be between 0 and 32767 inclusively\n");
  return 1;
}

void ParseArgument(HcRun *run, int argc, char **argv) {
  enum { IN, OUT, HC, ORIENT, INVERT, SCALE, COLORS, GAMMA, CORRECTION, PAPER, MEDIA, REPAINT,
         DENSITY, RESOLUTION, DITHER, PA, FORMAT, NLG, STREAM, NUMCOP, NOPTS };
  static const struct {
    const char *name;
    bool takes_value;
  } options[NOPTS] = {
      {"-in", true},         {"-out", true},       {"-hc", true},       {"-orientation", true},
      {"-invert", true},     {"-scale", true},     {"-colors", true},   {"-gamma", true},
      {"-correction", true}, {"-paper", true},     {"-media", true},    {"-repaint", true},
      {"-density", true},    {"-resolution", true}, {"-dither", true},  {"-pa", false},
      {"-format", true},     {"-nlg", false},      {"-stream", false},  {"-numcop", true},
  };
  const char *value[NOPTS] = {};
  static const char given[] = "";  // the value of a flag that was present

  run->program_name = argc > 0 && argv[0] ? argv[0] : "xwd2hc";
  int errors = 0;
  for (int i = 1; i < argc; i++) {
    int k = 0;
    while (k < NOPTS && strcmp(argv[i], options[k].name) != 0) k++;
    if (k == NOPTS) {
      errors++;
    } else if (!options[k].takes_value) {
      value[k] = given;
    } else if (i + 1 < argc) {
      value[k] = argv[++i];
    } else {
      errors++;
    }
  }
  if (errors) {
    Usage(run);
    exit(1);
  }
  if (value[IN] && !(run->infile = fopen(value[IN], "r")))
    FatalError(run, "Cannot open %s file for input\n", value[IN]);
  if (value[OUT] && !(run->outfile = fopen(value[OUT], "w")))
    FatalError(run, "Cannot open %s file for output\n", value[OUT]);

  char default_name[] = "nrv7320d";
  char *name = value[HC] ? const_cast<char *>(value[HC]) : default_name;
  if (!value[HC]) ErrorF(run, "Converting to the default %s printer.\n", name);
  for (char *c = name; *c; c++)
    if (*c >= 'A' && *c <= 'Z') *c = (char)(*c - 'A' + 'a');
  const SupportedHCRow *row = nullptr;
  for (const SupportedHCRow &r : SupportedHC)
    if (strcmp(r.name, name) == 0) {
      row = &r;
      break;
    }
  if (!row) FatalError(run, "Don't know printer \"%s\"\n", name);
  run->HC.printer_name = row->name;
  run->HC.printer_type = row->type;
  run->HC.max_width = row->max_width;
  run->HC.max_height = row->max_height;

  int bad = 0;
  bad += Set_Orientation(run, value[ORIENT]);
  bad += Set_Invert(run, value[INVERT]);
  bad += Set_Scale(run, value[SCALE]);
  bad += Set_Color_Set(run, value[COLORS]);
  bad += Set_Gamma_Correction(run, value[GAMMA]);
  bad += Set_Color_Adjustment(run, value[CORRECTION]);
  bad += Set_Media_Size(run, value[PAPER]);
  bad += Set_Media_Type(run, value[MEDIA]);
  bad += Set_Media_Advance(run, value[PA]);
  bad += Set_7310_Dithering(run, value[DITHER]);
  bad += Set_7310_Repaint_Count(run, value[REPAINT]);
  bad += Set_7310_Density(run, value[DENSITY]);
  bad += Set_7310_Resolution(run, value[RESOLUTION]);
  bad += Set_Number_Copy(run, value[NUMCOP]);
  if (value[NLG]) run->HC.local_gamma = 0;
  if (value[STREAM]) run->HC.byte_ack = 0;
  if (bad) {
    fprintf(stderr, "Error in command line argument.\n");
    fflush(run->outfile);
    exit(1);
  }
}
