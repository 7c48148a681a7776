# One static library per source folder; its sources are the folder's own
# *.c/*.cpp files (subfolders are libraries of their own).
function(vro_module name)
  file(GLOB srcs CONFIGURE_DEPENDS
       ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/*.c)
  if(NOT srcs)
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(${name} INTERFACE ${ARGN})
    return()
  endif()
  add_library(${name} STATIC ${srcs})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(${name} PUBLIC ${ARGN})
endfunction()

# One GoogleTest executable per test folder, run by ctest through Wine.
# Extra arguments: LIBS <targets...> LABELS <labels...>
function(vro_test name)
  cmake_parse_arguments(T "" "TIMEOUT" "LIBS;LABELS" ${ARGN})
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  if(NOT srcs)
    return()
  endif()
  add_executable(${name} ${srcs})
  target_link_libraries(${name} PRIVATE ${T_LIBS} vro_testsupport GTest::gtest_main)
  target_compile_definitions(${name} PRIVATE VRO_WINE_LOADER="${VRO_WINE}")
  add_test(NAME ${name} COMMAND ${name})
  # A limit is at least twice the program's time while a whole suite runs
  # at once on every core (each program then takes about twice its time
  # alone): a limit that is reached means a hang, not a busy machine.
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 600)
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT}
                       FIXTURES_REQUIRED wineprefix
                       ENVIRONMENT "${VRO_WINE_ENV}")
  if(name IN_LIST VRO_WINDOW_TESTS)
    # One window program at the display at a time: a click at a point of
    # the screen must find this program's window there, not another's.
    list(APPEND T_LABELS window)
    set_tests_properties(${name} PROPERTIES RESOURCE_LOCK display)
  endif()
  set_tests_properties(${name} PROPERTIES LABELS "${T_LABELS}")
endfunction()
