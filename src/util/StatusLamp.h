#pragma once
// A status lamp as the stores see it: a lit and an unlit colour and an on/off state. The Qt lamp
// (ui/XLCDView.h) implements it, so code without Qt can prepare and switch a window's lamps.

namespace util {

// A colour with red, green, blue and alpha components from 0.0 to 1.0.
struct LampColor {
    double red = 0.0;
    double green = 0.0;
    double blue = 0.0;
    double alpha = 1.0;

    bool operator==(const LampColor&) const = default;

    static constexpr LampColor blackColor() { return {0.0, 0.0, 0.0, 1.0}; }
    static constexpr LampColor greenColor() { return {0.0, 1.0, 0.0, 1.0}; }
    static constexpr LampColor grayColor() { return {0.5, 0.5, 0.5, 1.0}; }
};

class StatusLamp {
public:
    virtual ~StatusLamp() = default;

    // The colours take effect at the lamp's next redraw; setting them does not redraw.
    virtual void setColorOfLighted(LampColor color) = 0;
    virtual void setColorOfunLighted(LampColor color) = 0;
    // Stores the state and redraws the lamp.
    virtual void setIsLighted(bool lighted) = 0;
    virtual bool isLighted() const = 0;
};

}  // namespace util
