// --apply: one desktop job (compose at the primary screen's size, write the per-user wallpaper
// file, set the desktop wallpaper). Provided with the drawing thread; until then it says so.
#include "cli/ComposeOptions.h"

#include <cstdio>

int RunApply(const TComposeOptions&) {
    std::fputs("tapestrix-compose: --apply is not available in this build\n", stderr);
    return 2;
}
