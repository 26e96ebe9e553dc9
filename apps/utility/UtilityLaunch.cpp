#include "utility/UtilityLaunch.h"

#include "link/GCData.h"
#include "link/XCoreData.h"

UtilityLaunch::UtilityLaunch()
    : window_(GCData::shareGCData(kUtilityConstants), XCoreData::shareData()),
      presetWindow_(GCData::shareGCData()),
      firmware_(GCData::shareGCData(), XCoreData::shareData()),
      delegate_([] { return readManifestEntries(XCoreData::shareData()); }) {
    window_.awakeFromNib();
    presetWindow_.awakeFromNib();
    firmware_.awakeFromNib();
    // The Preset and Firmware buttons open the windows registered just now.
    window_.updatePageButtons();
    delegate_.setWindow(&window_);
    delegate_.applicationDidFinishLaunching();
}
