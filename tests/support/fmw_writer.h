#pragma once
// The firmware writer lives with the simulated devices (the demo makes its folder with it); tests
// use it under the names they always had.
#include "tools/devsim/fmw_writer.h"

namespace testsupport {

using FmwTestMark = devsim::FmwMark;
using FmwTestContainer = devsim::FmwContainer;
using devsim::FmwGet32;
using devsim::FmwSeal;
using devsim::FmwReseal;
using devsim::FmwSet32;
using devsim::LegacyFirmware;
using devsim::kSealAll;
using devsim::kSealFile;
using devsim::kSealFixedArea;
using devsim::kSealHeader;
using devsim::kSealImages;
using devsim::kSealMarks;

}  // namespace testsupport
