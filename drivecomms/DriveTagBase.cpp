#include "drivecomms/DriveTagBase.h"

namespace {
// Handling 1: the tag's own handleRequest decides; the namespace loader later sets 3.
constexpr uint32_t kInitialHandling = 1;
}  // namespace

DriveTagBase::DriveTagBase() : DaTag(/*tracksItems=*/true)
{
    setCacheFirst(true);
    setDefaultHandling(kInitialHandling);
}
