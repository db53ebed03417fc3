# The systemd service host: the mode flag, unit install and uninstall, readiness, journal entries.

# The unit that "/I" writes is kept as a file of its own and compiled in as a string.
set(cw_unit_template ${CMAKE_CURRENT_LIST_DIR}/corbelwynford.service.in)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${cw_unit_template})
file(READ ${cw_unit_template} cw_unit_text)
file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/generated/systemd_unit.h CONTENT [[
#pragma once
// Generated from platform/posix/corbelwynford.service.in; {executable} stands for ExecStart's path.
inline constexpr char kUnitTemplate[] = R"unit(@cw_unit_text@)unit";
]] @ONLY)
target_sources(cw_posix PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/systemd_service_host.cc
  ${CMAKE_CURRENT_LIST_DIR}/run_command.cc
)

if(CW_BUILD_TESTS)
  # The host under the program's own start-up, with the real systemctl working offline.
  add_executable(systemd_service_host_test ${CMAKE_CURRENT_LIST_DIR}/systemd_service_host_test.cc)
  target_link_libraries(systemd_service_host_test PRIVATE cw_app cw_posix cw_test_fakes
                        GTest::gtest_main)
  # Each test runs in its own process, so each may point CORBELWYNFORD_ROOT at its own folder.
  gtest_discover_tests(systemd_service_host_test DISCOVERY_MODE PRE_TEST
                       PROPERTIES LABELS platform)
endif()
