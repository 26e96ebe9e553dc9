#include "utility/UtilityLaunch.h"

#include "link/GCData.h"
#include "link/XCoreData.h"

UtilityLaunch::UtilityLaunch()
    : window_(GCData::shareGCData(kUtilityConstants), XCoreData::shareData()),
      presetWindow_(GCData::shareGCData(kUtilityConstants)),
      delegate_([] { return readManifestEntries(XCoreData::shareData()); }) {
    window_.awakeFromNib();
    presetWindow_.awakeFromNib();
    // The Preset button opens the window registered just now.
    window_.updatePageButtons();
    delegate_.setWindow(&window_);
    delegate_.applicationDidFinishLaunching();
}
