// Screenshots of the display as the viewer sees it: the graphics plane on
// top, and the video plane wherever the graphics plane shows the colour key.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// Graphics-plane colour that lets the video plane show through.
inline constexpr uint32_t kOsdColorKey = 0x080808;

// Fills rgb (width * height * 3 bytes, top row first) with the video plane's
// picture; false when there is none (the plane is then black).
using OsdVideoPlaneSource = std::function<bool(uint8_t* rgb, int width, int height)>;
// Installs the video plane's picture source (an empty function: black).
void OSDSetVideoPlaneSource(OsdVideoPlaneSource source);

// Fills rgb and mask (width * height bytes, 1 = covered) with a picture the
// camera's overlay writes over the screen; false when none is shown.
using OsdOverlaySource = std::function<bool(uint8_t* rgb, uint8_t* mask, int width, int height)>;
// Installs the overlay's source (an empty function: none).
void OSDSetOverlaySource(OsdOverlaySource source);

// The composed screen as RGB bytes (top row first); false when the OSD is
// not running.
bool OSDCaptureScreen(std::vector<uint8_t>* rgb, int* width, int* height);

// Writes the composed screen as a PNG file (written beside and renamed into
// place, so a reader never sees half a file). 0, or -1.
int OSDScreenshot(const char* png_path);

// Writes RGB bytes as a PNG file; 0, or -1.
int WriteRgbPng(const std::string& path, const uint8_t* rgb, int width, int height);
