# Third-party static libraries built by scripts/build-deps.sh into
# ${VRO_DEPS_DIR}/${VRO_TRIPLET}/{include,lib}:
#   ntfs3g::ntfs3g  libntfs-3g, plus the POSIX functions it needs from
#                   src/image/ntfs/ntfs_compat.c
#   ucl::ucl        UCL (NRV2B/2D/2E compressors and decompressors)
if(NOT VRO_TRIPLET)
  message(FATAL_ERROR "VRO_TRIPLET is not set; configure with -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-<arch>.cmake")
endif()
if(NOT VRO_DEPS_DIR)
  message(FATAL_ERROR "VRO_DEPS_DIR is not set (the top-level CMakeLists.txt sets it)")
endif()

set(_vro_deps ${VRO_DEPS_DIR}/${VRO_TRIPLET})
foreach(_f lib/libntfs-3g.a lib/libucl.a include/ntfs-3g/volume.h include/ucl/ucl.h
           include/ntfs-3g-compat/ntfs3g_prelude.h)
  if(NOT EXISTS ${_vro_deps}/${_f})
    message(FATAL_ERROR "${_vro_deps}/${_f} is missing; run scripts/build-deps.sh")
  endif()
endforeach()

# The POSIX functions libntfs-3g calls (getuid, getpwuid, random, ...).  Its
# object goes on every final link line, not into an archive: an archive member
# listed before libntfs-3g.a would never be pulled in.
if(NOT TARGET vro_ntfs_compat)
  add_library(vro_ntfs_compat OBJECT ${CMAKE_CURRENT_LIST_DIR}/../src/image/ntfs/ntfs_compat.c)
  target_include_directories(vro_ntfs_compat PRIVATE ${_vro_deps}/include)
  target_compile_definitions(vro_ntfs_compat PRIVATE _FILE_OFFSET_BITS=64)
endif()

if(NOT TARGET ntfs3g::ntfs3g)
  add_library(ntfs3g::ntfs3g STATIC IMPORTED GLOBAL)
  # These mirror how the library itself was compiled:
  #  - _FILE_OFFSET_BITS=64: off_t in attrib.h and struct stat in device.h
  #    must be the 64-bit ones the library uses;
  #  - __timespec_defined: mingw-w64 has struct timespec, ntfstime.h must not
  #    declare its own;
  #  - NO_NTFS_DEVICE_DEFAULT_IO_OPS: there is no default device table, the
  #    program passes its own operations to ntfs_device_alloc();
  #  - HAVE_*: the headers include these system headers only when told to
  #    (they expect config.h, which is not installed);
  #  - the prelude (uid_t/gid_t, <sys/stat.h> first) goes in front of every
  #    C and C++ source.
  set_target_properties(ntfs3g::ntfs3g PROPERTIES
    IMPORTED_LOCATION ${_vro_deps}/lib/libntfs-3g.a
    IMPORTED_LINK_INTERFACE_LANGUAGES C
    INTERFACE_INCLUDE_DIRECTORIES ${_vro_deps}/include
    INTERFACE_COMPILE_DEFINITIONS
      "_FILE_OFFSET_BITS=64;__timespec_defined;NO_NTFS_DEVICE_DEFAULT_IO_OPS;HAVE_SYS_TYPES_H=1;HAVE_SYS_STAT_H=1;HAVE_TIME_H=1;HAVE_STDIO_H=1;HAVE_STDARG_H=1;HAVE_STDDEF_H=1"
    INTERFACE_COMPILE_OPTIONS
      "$<$<COMPILE_LANGUAGE:C,CXX>:SHELL:-include ${_vro_deps}/include/ntfs-3g-compat/ntfs3g_prelude.h>"
    INTERFACE_LINK_LIBRARIES "$<TARGET_OBJECTS:vro_ntfs_compat>")
endif()

if(NOT TARGET ucl::ucl)
  add_library(ucl::ucl STATIC IMPORTED GLOBAL)
  set_target_properties(ucl::ucl PROPERTIES
    IMPORTED_LOCATION ${_vro_deps}/lib/libucl.a
    IMPORTED_LINK_INTERFACE_LANGUAGES C
    INTERFACE_INCLUDE_DIRECTORIES ${_vro_deps}/include)
endif()
unset(_vro_deps)
unset(_f)
