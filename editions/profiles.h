// The nine editions' layout profiles.
#ifndef SOUNDEXT_PROFILES_H
#define SOUNDEXT_PROFILES_H

#include "extraction_run.h"

//                                  pmd_track adpcm_length directory_track first_entry
constexpr LayoutProfile kEditionA = {38, 81920, 39, 0};
constexpr LayoutProfile kEditionB = {20, 108800, 21, 1};
constexpr LayoutProfile kEditionC = {32, 92416, 33, 0};
constexpr LayoutProfile kEditionD = {38, 90112, 39, 0};
constexpr LayoutProfile kEditionE = {35, 90112, 36, 0};
constexpr LayoutProfile kEditionF = {32, 110592, 33, 0};
constexpr LayoutProfile kEditionG = {38, 108800, 39, 0};
constexpr LayoutProfile kEditionH = {35, 77824, 36, 0};
constexpr LayoutProfile kEditionI = {28, 110592, 29, 0};

#endif
