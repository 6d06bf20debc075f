// The words of a link configuration: escape lists as the host's resources and the line tools give
// them. One reading for every end and program; the callers say what they refuse in their own words.
#include <string>

#include "relay/link/link.h"

char* NextWord(char** cursor) {
    char* p = *cursor;
    while (*p == ' ' || *p == '\t') p++;
    if (!*p) {
        *cursor = p;
        return nullptr;
    }
    char* word;
    if (*p == '\'' || *p == '"') {
        char quote = *p++;
        word = p;
        while (*p && *p != quote) p++;
    } else {
        word = p;
        while (*p && *p != ' ' && *p != '\t') p++;
    }
    if (*p) *p++ = '\0';
    *cursor = p;
    return word;
}

int chk_base_atoi(const char* digits, uint8_t* dst, int base, int maxDigits) {
    const char* p = digits;
    while (*p == ' ' || *p == '\t' || *p == '\n') p++;
    unsigned value = 0;
    int count = 0;
    for (; *p; p++) {
        int c = static_cast<unsigned char>(*p);
        int digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else
            break;
        if (digit >= base || ++count > maxDigits) return -1;
        value = (value * static_cast<unsigned>(base) + static_cast<unsigned>(digit)) & 0xff;
    }
    while (*p == ' ' || *p == '\t' || *p == '\n') p++;
    if (*p) return -1;
    *dst = static_cast<uint8_t>(value);
    return 0;
}

int LinkEscValue(const char* word, uint8_t* dst) {
    // Only the first character's low 7 bits tell the form: so the relay has always read its
    // resources, and a configuration that worked must go on working.
    int first = static_cast<unsigned char>(word[0]) & 0x7f;
    if (first == '0' && (word[1] == 'x' || word[1] == 'X'))
        return chk_base_atoi(word + 2, dst, 16, 2) == 0 ? 0 : LINK_ESC_DIGITS;
    if (first == '\\') return chk_base_atoi(word + 1, dst, 8, 3) == 0 ? 0 : LINK_ESC_DIGITS;
    return LINK_ESC_FORM;
}

int LinkParseEscWords(LinkConfig* cfg, char** cursor, char** word) {
    while ((*word = NextWord(cursor))) {
        uint8_t c;
        if (int r = LinkEscValue(*word, &c)) return r;
        if (cfg->escCount == MAX_ESC_CHARS) return LINK_ESC_FULL;
        cfg->escChars[cfg->escCount++] = c;
    }
    return LINK_ESC_END;
}

int LinkParseEscChars(LinkEnd* L, const char* text) {
    std::string copy = text ? text : "";
    char* cursor = copy.data();
    char* word;
    int rc = 0;
    L->config.escCount = 0;
    for (int r; (r = LinkParseEscWords(&L->config, &cursor, &word)) != LINK_ESC_END;) {
        rc = -1;
        if (r == LINK_ESC_FULL) break;
    }
    return rc;
}
