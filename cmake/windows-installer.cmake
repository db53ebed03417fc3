# The Windows set-up program (NSIS, Debian's nsis package):
#   cmake --build build-win32 --target setup
# gives build-win32/corbelwynford-<version>-setup.exe beside corbelwynford.exe. The script is
# packaging/windows/corbelwynford.nsi; the version is the project's.
if(NOT WIN32)
  return()
endif()

set(CW_SETUP_EXE ${CMAKE_CURRENT_BINARY_DIR}/corbelwynford-${PROJECT_VERSION}-setup.exe)
set(CW_SETUP_SCRIPT ${CMAKE_CURRENT_SOURCE_DIR}/packaging/windows/corbelwynford.nsi)
set(CW_SETUP_ICON ${CMAKE_CURRENT_SOURCE_DIR}/platform/win32/corbelwynford.ico)
set(CW_SETUP_INI ${CMAKE_CURRENT_SOURCE_DIR}/Corbelwynford.INI)

find_program(CW_MAKENSIS makensis)
if(NOT CW_MAKENSIS)
  # Only this target needs it; the rest of the build goes on without.
  add_custom_target(setup
    COMMAND ${CMAKE_COMMAND} -E echo "makensis not found: install Debian's nsis package"
    COMMAND ${CMAKE_COMMAND} -E false)
  return()
endif()

add_custom_command(
  OUTPUT ${CW_SETUP_EXE}
  COMMAND ${CW_MAKENSIS} -V2 -DVERSION=${PROJECT_VERSION} -DEXE=$<TARGET_FILE:corbelwynford>
          -DINI=${CW_SETUP_INI} -DICON=${CW_SETUP_ICON} -DOUTFILE=${CW_SETUP_EXE} ${CW_SETUP_SCRIPT}
  DEPENDS corbelwynford ${CW_SETUP_SCRIPT} ${CW_SETUP_ICON} ${CW_SETUP_INI}
  COMMENT "Building corbelwynford-${PROJECT_VERSION}-setup.exe"
  VERBATIM)
add_custom_target(setup DEPENDS ${CW_SETUP_EXE})
