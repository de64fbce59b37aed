# The product's name and the maker's notice are the window caption's own texts (ui/window.h); the
# Windows version records and the installer read them from there. Sets, in the caller's scope:
#   KV_PRODUCT  "KV6193 System File Loader"
#   KV_NOTICE   the maker's notice, "(c) <year> <maker>"
#   KV_MAKER    the maker's name alone
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/ui/window.h)
file(STRINGS ${CMAKE_SOURCE_DIR}/ui/window.h kv_caption_texts REGEX "(CaptionPrefix|MakerNotice) = \"")
if(NOT kv_caption_texts MATCHES "CaptionPrefix = \"([^\"]*) Ver \"")
  message(FATAL_ERROR "ui/window.h: no CaptionPrefix to name the product in the Windows version records")
endif()
set(KV_PRODUCT "${CMAKE_MATCH_1}")
if(NOT kv_caption_texts MATCHES "MakerNotice = \"(\\(c\\) [0-9]+ ([^\"]*))\"")
  message(FATAL_ERROR "ui/window.h: no MakerNotice for the Windows version records")
endif()
set(KV_NOTICE "${CMAKE_MATCH_1}")
set(KV_MAKER "${CMAKE_MATCH_2}")
