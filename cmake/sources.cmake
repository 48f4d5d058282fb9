# The sources of the program and of the simulated target for one system,
# UPDATE_SYSTEM (a CMAKE_SYSTEM_NAME: Linux, Darwin or Windows). The build
# takes its own system's. Run as a script, it prints them one a line, so that
# a check can compile another system's set without building it:
#   cmake -DUPDATE_SYSTEM=Darwin -P cmake/sources.cmake
# The platform is chosen by which sources are compiled: each platform or
# vendor interface is called from its own file.

set(UPDATE_TRANSPORT_SOURCES
  transport/line_settings.cpp
  transport/read_deadline.cpp
  transport/interrupt.cpp
  transport/link_failure.cpp
  transport/com_cp2102.cpp)
set(UPDATE_DRIVER_SOURCES
  driver/about.cpp
  driver/settings.cpp
  driver/image.cpp
  driver/transfer.cpp
  driver/run.cpp
  driver/diagnostics.cpp
  driver/listing.cpp)
set(UPDATE_PROGRAM_SOURCES driver/main.cpp)
set(UPDATE_SIMTARGET_CORE_SOURCES tools/target/sim_target.cpp)
# The simulated target runs over pseudo-terminals: not on Windows.
set(UPDATE_SIMTARGET_SOURCES)

if(UPDATE_SYSTEM STREQUAL "Windows")
  list(APPEND UPDATE_TRANSPORT_SOURCES
    transport/interrupt_win32.cpp
    transport/error_text_win32.cpp
    transport/line_settings_win32.cpp
    transport/vendor_dll_win32.cpp
    transport/com_port_win32.cpp
    transport/com_ftdi_d2xx.cpp
    transport/cp2102_bridge_siusbxp.cpp)
  list(APPEND UPDATE_DRIVER_SOURCES
    driver/platform_win32.cpp
    driver/device_list_none.cpp
    driver/advice_win32.cpp)
elseif(UPDATE_SYSTEM STREQUAL "Linux" OR UPDATE_SYSTEM STREQUAL "Darwin")
  # libftdi1 and libusb-1.0 on both. Who else has a port open, and what is
  # attached: Linux shows it under /proc and sysfs, macOS has neither.
  list(APPEND UPDATE_TRANSPORT_SOURCES
    transport/com_port_posix.cpp
    transport/com_ftdi_libftdi.cpp
    transport/cp2102_bridge_libusb.cpp)
  list(APPEND UPDATE_DRIVER_SOURCES driver/platform_posix.cpp)
  # The serial port's own part of each (com_port_system.h).
  if(UPDATE_SYSTEM STREQUAL "Linux")
    list(APPEND UPDATE_TRANSPORT_SOURCES transport/com_port_linux.cpp transport/tty_users_linux.cpp)
    list(APPEND UPDATE_DRIVER_SOURCES driver/device_list_linux.cpp driver/advice_linux.cpp)
  else()
    list(APPEND UPDATE_TRANSPORT_SOURCES transport/com_port_macos.cpp transport/tty_users_macos.cpp)
    list(APPEND UPDATE_DRIVER_SOURCES driver/device_list_macos.cpp driver/advice_macos.cpp)
  endif()
  set(UPDATE_SIMTARGET_SOURCES tools/simtarget.cpp)
else()
  message(FATAL_ERROR "update builds for Linux, macOS (Darwin) and Windows, not for '${UPDATE_SYSTEM}'")
endif()

if(CMAKE_SCRIPT_MODE_FILE)
  foreach(source IN LISTS UPDATE_TRANSPORT_SOURCES UPDATE_DRIVER_SOURCES UPDATE_PROGRAM_SOURCES
                          UPDATE_SIMTARGET_CORE_SOURCES UPDATE_SIMTARGET_SOURCES)
    # To standard output: message() would write to standard error.
    execute_process(COMMAND ${CMAKE_COMMAND} -E echo ${source})
  endforeach()
endif()
