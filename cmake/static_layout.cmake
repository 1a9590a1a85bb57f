# Code and data layout of the static executable.
#
# A CGI run is one short process, and much of its cost is the kernel mapping
# the executable's pages as they are first touched. With every function and
# object in a section of its own, lld places what a typical run touches
# (cmake/hot_symbols.txt, written by scripts/layout-profile) together at the
# start of each output section, and cmake/layout.ld keeps OpenSSL's constants
# away from the rest. Behaviour does not change; only addresses do. What it
# gains is measured in the README (Performance).
#
# Both files go stale as the code moves, and lld says nothing about layout
# script patterns that match no file: the ctest layout.order_current
# (scripts/check-layout, registered in tests/CMakeLists.txt) checks them
# against the link map written here (<executable>.map).
#
# Without lld the executable links in the default layout.

include(CheckLinkerFlag)

set(TARVELO_LAYOUT_ORDER ${PROJECT_SOURCE_DIR}/cmake/hot_symbols.txt)
set(TARVELO_LAYOUT_SCRIPT ${PROJECT_SOURCE_DIR}/cmake/layout.ld)

# Call before the targets are defined: every object needs its own sections.
macro(tarvelo_layout_prepare)
  set(TARVELO_LAYOUT OFF)
  if(NOT WIN32 AND NOT TARVELO_SANITIZE AND NOT TARVELO_FUZZ)
    check_linker_flag(CXX "-fuse-ld=lld" TARVELO_HAVE_LLD)
    if(TARVELO_HAVE_LLD)
      set(TARVELO_LAYOUT ON)
      add_compile_options(-ffunction-sections -fdata-sections)
    else()
      message(STATUS "lld not found: the executable keeps the default layout")
    endif()
  endif()
endmacro()

# Links TARGET with lld in the profiled order.
function(tarvelo_layout target)
  if(NOT TARVELO_LAYOUT)
    return()
  endif()
  target_link_options(${target} PRIVATE
    -fuse-ld=lld
    -Wl,--symbol-ordering-file=${TARVELO_LAYOUT_ORDER}
    -Wl,-T,${TARVELO_LAYOUT_SCRIPT}
    -Wl,-Map=$<TARGET_FILE:${target}>.map)
  # The order is profiled on the gateway itself, and lld warns about every
  # name in it that the link lacks. A variant (the benchmark's build without
  # TCP_NODELAY) leaves out files of the gateway by design.
  if(NOT target STREQUAL "tarvelo")
    target_link_options(${target} PRIVATE -Wl,--no-warn-symbol-ordering)
  endif()
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS
               ${TARVELO_LAYOUT_ORDER} ${TARVELO_LAYOUT_SCRIPT})
endfunction()
