#ifndef KORVEL_BASE_PRODUCT_H
#define KORVEL_BASE_PRODUCT_H

// The product's names and the program's version: the one place they are written. The texts
// that leave the program (registry, shortcut, beacon) and the Windows version resource are
// both made from these, so they are plain macros: the resource compiler reads this file too.

#define KORVEL_PRODUCT_NAME "Korvel"
#define KORVEL_COMPANY_NAME "Zorv Inc."
#define KORVEL_PROGRAM_FILE_NAME "Korvel.exe"

#define KORVEL_VERSION_MAJOR 1
#define KORVEL_VERSION_MINOR 0
#define KORVEL_VERSION_PATCH 4

#define KORVEL_STRINGIFY_(x) #x
#define KORVEL_STRINGIFY(x) KORVEL_STRINGIFY_(x)
#define KORVEL_VERSION_TEXT                                                                                  \
    KORVEL_STRINGIFY(KORVEL_VERSION_MAJOR)                                                                   \
    "." KORVEL_STRINGIFY(KORVEL_VERSION_MINOR) "." KORVEL_STRINGIFY(KORVEL_VERSION_PATCH)

#endif
