# vorn_platform_text(IN OUT PLATFORMS NEWLINES): configures the text IN (its
# @VARIABLES@) into OUT, keeping a line that starts with {windows} or {linux}
# only when that platform is one of PLATFORMS (the mark itself is dropped).
# The players' texts of each package say only what holds on its system; the
# ini that `vorn-collector player add` writes keeps both.
function(vorn_platform_text in out platforms newlines)
  file(READ ${in} text)
  foreach(platform windows linux)
    if(platform IN_LIST platforms)
      string(REPLACE "\n{${platform}}" "\n" text "${text}")
    else()
      string(REGEX REPLACE "\n{${platform}}[^\n]*" "" text "${text}")
    endif()
  endforeach()
  file(CONFIGURE OUTPUT ${out} CONTENT "${text}" @ONLY NEWLINE_STYLE ${newlines})
endfunction()
