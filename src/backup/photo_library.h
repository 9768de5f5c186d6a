// The device's photo library ("Media/PhotoData/Photos.sqlite" of the camera
// roll domain): the date each picture or film was taken and whether it sits
// in "Recently Deleted". Its asset table was renamed and grows columns every
// year, so the table is found by name and its columns by name.
#pragma once

#include <stop_token>
#include <string>
#include <unordered_map>

#include "backup/media.h"

namespace salvor {

struct PhotoLibrary {
    // Camera-roll relative path ("Media/DCIM/100APPLE/IMG_0001.JPG") → facts.
    std::unordered_map<std::string, PhotoFacts> facts;
    std::string problem;  // why the library could not be read; empty when it was
};

// Reads the stored library at `storedPath` without writing it.
PhotoLibrary readPhotoLibrary(const std::string& storedPath, std::stop_token stop = {});

}  // namespace salvor
