# Vector kernels: each unit is built for its own instruction set (still
# without FMA contraction) and entered only after a CPU check, so the library
# itself needs no -march and runs on any x86-64. Every target compiled from
# the library's sources (the library, the fuzz build's instrumented copy)
# takes the units' flags from orvane_kernel_flags, so they cannot drift.
# A unit's instruction set is its file name up to the first underscore:
# avx2.cpp and avx2_focus.cpp are both AVX2 units.
file(GLOB ORVANE_KERNEL_UNITS CONFIGURE_DEPENDS
  ${PROJECT_SOURCE_DIR}/src/kernels/avx2.cpp
  ${PROJECT_SOURCE_DIR}/src/kernels/avx2_*.cpp
  ${PROJECT_SOURCE_DIR}/src/kernels/avx512.cpp
  ${PROJECT_SOURCE_DIR}/src/kernels/avx512_*.cpp)
set(ORVANE_KERNEL_FLAGS_avx2 -mavx2 -mno-fma)
# AVX-512F implies FMA to the compilers (clang drops AVX-512 under -mno-fma);
# -ffp-contract=off alone keeps multiplies and adds apart.
set(ORVANE_KERNEL_FLAGS_avx512 -mavx512f -mavx512bw -mavx512vl -mavx512dq)

if(CMAKE_SYSTEM_PROCESSOR MATCHES "x86_64|AMD64|amd64")
  set(ORVANE_HAVE_AVX2 ON)
else()
  set(ORVANE_HAVE_AVX2 OFF)
endif()

# Removes the kernel units from the source list named `sources` where they
# cannot be built.
function(orvane_kernel_sources sources)
  if(NOT ORVANE_HAVE_AVX2)
    set(list ${${sources}})
    list(REMOVE_ITEM list ${ORVANE_KERNEL_UNITS})
    set(${sources} ${list} PARENT_SCOPE)
  endif()
endfunction()

# Gives `target`'s kernel units their instruction sets and tells its code
# that the vector kernels are there.
function(orvane_kernel_flags target)
  if(NOT ORVANE_HAVE_AVX2)
    return()
  endif()
  foreach(unit ${ORVANE_KERNEL_UNITS})
    get_filename_component(isa ${unit} NAME_WE)
    string(REGEX REPLACE "_.*" "" isa ${isa})
    set_property(SOURCE ${unit} TARGET_DIRECTORY ${target} APPEND
                 PROPERTY COMPILE_OPTIONS ${ORVANE_KERNEL_FLAGS_${isa}})
  endforeach()
  target_compile_definitions(${target} PRIVATE ORVANE_HAVE_AVX2)
endfunction()
