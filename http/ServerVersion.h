// The server's version, in the one place the banner, the Server header, the
// fixed error pages and the template prelude take it from. Macros, so that
// the fixed pages can be joined into single literals at compile time.
#pragma once

#define VEK_VERSION_MAJOR 1
#define VEK_VERSION_MINOR 18
#define VEK_VERSION_RELEASE 7
#define VEK_VERSION_BUILD 22
#define VEK_OS_TYPE "Linux"
#define VEK_APP_TYPE "32bit"

#define VEK_TEXT_OF(x) #x
#define VEK_NUMBER_TEXT(x) VEK_TEXT_OF(x)
// "1.18.7.22"
#define VEK_VERSION_TEXT                                                                                   \
    VEK_NUMBER_TEXT(VEK_VERSION_MAJOR) "." VEK_NUMBER_TEXT(VEK_VERSION_MINOR) "." VEK_NUMBER_TEXT(         \
        VEK_VERSION_RELEASE) "." VEK_NUMBER_TEXT(VEK_VERSION_BUILD)
// "VEKServer/1.18.7.22 (32bit Linux)": the Server header and the pages' signature.
#define VEK_SERVER_NAME "VEKServer/" VEK_VERSION_TEXT " (" VEK_APP_TYPE " " VEK_OS_TYPE ")"
