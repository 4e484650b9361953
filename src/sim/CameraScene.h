// The simulated cameras' pictures: for each of the four cameras a textured
// scene panning sideways (bars with grain, slanted differently per camera,
// each camera in its own colours) and a textured box with the camera's
// digit bouncing across it. Something an encoder has to work on, yet cheap:
// every row is copied from textures made once per camera and size.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "sim/FrameBand.h"

namespace diviv::sim {

class CameraScene {
public:
    CameraScene();
    ~CameraScene();
    CameraScene(const CameraScene&) = delete;
    CameraScene& operator=(const CameraScene&) = delete;

    // Draws picture number `frame` (it sets the motion) of camera 1..4, or
    // with camera 0 the four cameras as quadrants (1 2 above, 3 4 below).
    // Even widths and heights give exact chroma; any size draws.
    void Draw(const YuvPlanes& picture, int camera, uint64_t frame);

private:
    struct View;
    const View& ViewFor(int camera, int width, int height);
    static void DrawView(const View& view, const YuvPlanes& region, uint64_t frame);

    std::vector<std::unique_ptr<View>> views_;
};

// Turns a picture upside down (vflip) and/or left to right (hflip), in place.
void FlipPicture(const YuvPlanes& picture, bool vflip, bool hflip);

}  // namespace diviv::sim
