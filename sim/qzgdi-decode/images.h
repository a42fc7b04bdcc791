// Page images of a decoded record: PBM or PNG, one pixel per printer pixel.
#pragma once

#include <string>

#include "stream.h"

// Writes the page; two-bit pages become one bit a pixel (any set value is
// black), two-plane pages a colour PNG (black over red) or a stacked PBM.
bool WritePageImage(const DecodedPage &pg, const std::string &path, bool png);
