# Turns the firmware image file into the constant array FirmwareImage, with CMake alone.
set(_image "${BOXLOAD_FIRMWARE_IMAGE}")
if(NOT EXISTS "${_image}")
  message(FATAL_ERROR "BOXLOAD_FIRMWARE_IMAGE: ${_image} does not exist")
endif()
file(SIZE "${_image}" _image_size)
if(NOT _image_size EQUAL 12084)
  message(FATAL_ERROR
    "BOXLOAD_FIRMWARE_IMAGE: ${_image} is ${_image_size} bytes; the box's image is exactly 12084 bytes")
endif()
# By content, not by name: a copy of the stand-in elsewhere is still the stand-in.
file(SHA256 "${_image}" _image_hash)
file(SHA256 "${CMAKE_SOURCE_DIR}/data/firmware.bin" _standin_hash)
if(_image_hash STREQUAL _standin_hash)
  set(_is_standin true)
  message(WARNING
    "Building with the stand-in firmware image data/firmware.bin: fine against the simulated box, "
    "useless on a real one. Give the box's image with -DBOXLOAD_FIRMWARE_IMAGE=<file>.")
else()
  set(_is_standin false)
endif()

file(READ "${_image}" _hex HEX)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," _bytes "${_hex}")
string(REGEX REPLACE "((0x..,){16})" "\\1\n  " _bytes "${_bytes}")
set(BOXLOAD_FIRMWARE_SOURCE "${CMAKE_BINARY_DIR}/generated/firmware_image.cpp")
file(CONFIGURE OUTPUT "${BOXLOAD_FIRMWARE_SOURCE}" CONTENT
"// Made at build time from ${_image}; do not edit.
#include \"bootrom/firmware_image.h\"

const uint8_t FirmwareImage[kFirmwareImageSize] = {
  ${_bytes}
};

const bool kFirmwareImageIsStandIn = ${_is_standin};

const char FirmwareImageSha256[] = \"${_image_hash}\";
" @ONLY)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${_image}" "${CMAKE_SOURCE_DIR}/data/firmware.bin")
