#include "utility/UtilityLaunch.h"

#include "link/GCData.h"
#include "link/XCoreData.h"

UtilityLaunch::UtilityLaunch()
    : window_(GCData::shareGCData(kUtilityConstants), XCoreData::shareData()),
      delegate_([] { return readManifestEntries(XCoreData::shareData()); }) {
    window_.awakeFromNib();
    delegate_.setWindow(&window_);
    delegate_.applicationDidFinishLaunching();
}
