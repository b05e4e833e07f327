# Read by cpack at packaging time (CPACK_PROJECT_CONFIG_FILE).
if(CPACK_RADIOLIST_SANITIZE)
  message(FATAL_ERROR "this build directory is a sanitizer build (RADIOLIST_SANITIZE="
                      "${CPACK_RADIOLIST_SANITIZE}); package a build without RADIOLIST_SANITIZE")
endif()
