# The medium author's choices for setup.exe: name, version, icon, execution
# level, exit status, the tool's command line and the boxes' languages; and
# the header's time stamp. Checks the SETUP_* values and SOURCE_DATE_EPOCH and
# writes setup.rc, messages.rc, setup.manifest and check_exe.args (what
# tests/check_exe.py is to find) into BRANDING_DIR.
# Included by win32/CMakeLists.txt; `cmake -D... -P` runs it alone, as the
# tests do.

# Cache variables in a build; plain ones, unless given, in a script.
macro(setting name default type doc)
    if(CMAKE_SCRIPT_MODE_FILE)
        if(NOT DEFINED ${name})
            set(${name} "${default}")
        endif()
    else()
        set(${name} "${default}" CACHE ${type} "${doc}")
    endif()
endmacro()
setting(SETUP_COMPANY "" STRING "CompanyName in the version resource")
setting(SETUP_PRODUCT "" STRING "ProductName in the version resource")
setting(SETUP_VERSION "1.0.0.0" STRING "File and product version: four numbers a.b.c.d, each 0 to 65535")
setting(SETUP_COPYRIGHT "" STRING "LegalCopyright in the version resource")
setting(SETUP_DESCRIPTION "Setup" STRING "FileDescription in the version resource")
setting(SETUP_ICON "" FILEPATH "An .ico file for setup.exe; none when empty")
setting(SETUP_EXECUTION_LEVEL "asInvoker" STRING "asInvoker, highestAvailable or requireAdministrator")
setting(SETUP_EXIT_STATUS "launcher" STRING "launcher (0 once the tool has run) or tool (the tool's own status)")
setting(SETUP_COMMAND_LINE "ansi" STRING "ansi (the tool reads its command line in the ANSI code page) or utf16")
setting(SETUP_LANGUAGES "all" STRING "The languages of the boxes: all, or tags such as en,de,ja")
setting(SETUP_MESSAGES "" FILEPATH "A UTF-8 file of texts that replace or add to the boxes' shipped ones")

if(NOT SETUP_EXIT_STATUS MATCHES "^(launcher|tool)$")
    message(FATAL_ERROR "SETUP_EXIT_STATUS is '${SETUP_EXIT_STATUS}': it takes launcher or tool")
endif()
if(NOT SETUP_COMMAND_LINE MATCHES "^(ansi|utf16)$")
    message(FATAL_ERROR "SETUP_COMMAND_LINE is '${SETUP_COMMAND_LINE}': it takes ansi (the default) or utf16, "
                        "for an installer tool that reads its command line in UTF-16")
endif()

# The header's time stamp: SOURCE_DATE_EPOCH as the build is configured, else
# 0. The linker would take a bad value for the current time, or wrap it.
set(setup_time_stamp 0)
if(DEFINED ENV{SOURCE_DATE_EPOCH})
    set(setup_time_stamp "$ENV{SOURCE_DATE_EPOCH}")
    string(LENGTH "${setup_time_stamp}" digits)
    if(NOT setup_time_stamp MATCHES "^[0-9]+$" OR digits GREATER 10 OR setup_time_stamp GREATER 4294967295)
        message(FATAL_ERROR "SOURCE_DATE_EPOCH is '${setup_time_stamp}': it takes seconds since 1970 in "
                            "digits alone, 0 to 4294967295 (the header's time stamp has 32 bits)")
    endif()
endif()

set(levels asInvoker highestAvailable requireAdministrator)
list(FIND levels "${SETUP_EXECUTION_LEVEL}" level)
if(level EQUAL -1)
    message(FATAL_ERROR "SETUP_EXECUTION_LEVEL is '${SETUP_EXECUTION_LEVEL}': "
                        "it takes asInvoker, highestAvailable or requireAdministrator")
endif()

if(NOT SETUP_VERSION MATCHES "^([0-9]+)\\.([0-9]+)\\.([0-9]+)\\.([0-9]+)$")
    message(FATAL_ERROR "SETUP_VERSION is '${SETUP_VERSION}': it takes four numbers a.b.c.d, each 0 to 65535")
endif()
set(version_numbers ${CMAKE_MATCH_1} ${CMAKE_MATCH_2} ${CMAKE_MATCH_3} ${CMAKE_MATCH_4})
foreach(number IN LISTS version_numbers)
    string(LENGTH "${number}" digits)
    if(digits GREATER 5 OR number GREATER 65535)
        message(FATAL_ERROR "SETUP_VERSION is '${SETUP_VERSION}': each of its four numbers is 0 to 65535")
    endif()
    # windres would read 010 as octal, 8.
    if(number MATCHES "^0.")
        message(FATAL_ERROR "SETUP_VERSION is '${SETUP_VERSION}': a number may not begin with 0 (windres "
                            "reads 010 as 8)")
    endif()
endforeach()
list(JOIN version_numbers "," version_commas)

# Texts go into the resource as UTF-16: they must be printable and in UTF-8
# (windres cuts a text off at the first byte that is not). Checked on the
# bytes in hex, a pair at a time.
set(utf8_printable "^(([2-6][0-9a-f]|7[0-9a-e])|(c[2-9a-f]|d[0-9a-f])[89ab][0-9a-f]|e0[ab][0-9a-f][89ab][0-9a-f]|e[1-9a-cef][89ab][0-9a-f][89ab][0-9a-f]|ed[89][0-9a-f][89ab][0-9a-f]|f0[9ab][0-9a-f][89ab][0-9a-f][89ab][0-9a-f]|f[1-3][89ab][0-9a-f][89ab][0-9a-f][89ab][0-9a-f]|f48[0-9a-f][89ab][0-9a-f][89ab][0-9a-f])*$")
set(string_values "")
# What tests/check_exe.py is to find in the file, one option a line.
set(check_args "--level=${SETUP_EXECUTION_LEVEL}\n--version=${SETUP_VERSION}\n--command-line=${SETUP_COMMAND_LINE}\n")
foreach(field COMPANY:CompanyName DESCRIPTION:FileDescription PRODUCT:ProductName COPYRIGHT:LegalCopyright)
    string(REPLACE ":" ";" field "${field}")
    list(GET field 0 variable)
    list(GET field 1 name)
    set(text "${SETUP_${variable}}")
    string(HEX "${text}" hex)
    if(NOT hex MATCHES "${utf8_printable}")
        message(FATAL_ERROR "SETUP_${variable} is '${text}': it takes printable text in UTF-8, "
                            "no control characters")
    endif()
    string(APPEND check_args "--text=${name}=${text}\n")
    if(NOT text STREQUAL "")
        string(REPLACE "\\" "\\\\" text "${text}")
        string(REPLACE "\"" "\"\"" text "${text}")
        string(APPEND string_values "            VALUE \"${name}\", \"${text}\"\n")
    endif()
endforeach()

set(icon_line "")
if(NOT SETUP_ICON STREQUAL "")
    get_filename_component(icon "${SETUP_ICON}" ABSOLUTE)
    if(NOT EXISTS "${icon}" OR IS_DIRECTORY "${icon}")
        message(FATAL_ERROR "SETUP_ICON is '${SETUP_ICON}': no such file; it takes an .ico file")
    endif()
    # An icon file starts with 0 (reserved), 1 (an icon) and a count of images.
    file(READ "${icon}" head LIMIT 6 HEX)
    if(NOT head MATCHES "^00000100" OR head MATCHES "0000$")
        message(FATAL_ERROR "SETUP_ICON is '${SETUP_ICON}': not an icon file; it takes an .ico file")
    endif()
    string(REPLACE "\\" "\\\\" icon "${icon}")
    string(REPLACE "\"" "\"\"" icon "${icon}")
    set(icon_line "1 ICON \"${icon}\"")
    string(APPEND check_args "--icon\n")
endif()

# The boxes' texts, a string table a language: win32/messages.py checks them.
find_program(TEXTS_PYTHON NAMES python3 REQUIRED)
set(shipped_messages ${CMAKE_CURRENT_LIST_DIR}/messages.txt)
set(author_messages "")
if(NOT SETUP_MESSAGES STREQUAL "")
    get_filename_component(author_messages "${SETUP_MESSAGES}" ABSOLUTE)
endif()
execute_process(COMMAND ${TEXTS_PYTHON} ${CMAKE_CURRENT_LIST_DIR}/messages.py ${shipped_messages}
                        "${SETUP_LANGUAGES}" "${author_messages}" ${BRANDING_DIR}/messages.rc
                RESULT_VARIABLE refused OUTPUT_VARIABLE languages ERROR_VARIABLE why
                OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_STRIP_TRAILING_WHITESPACE)
if(refused)
    message(FATAL_ERROR "${why}")
endif()
string(APPEND check_args "--languages=${languages}\n")
if(NOT CMAKE_SCRIPT_MODE_FILE)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
                 ${shipped_messages} ${CMAKE_CURRENT_LIST_DIR}/messages.py ${author_messages})
endif()

set(manifest "${BRANDING_DIR}/setup.manifest")
string(REPLACE "\\" "\\\\" manifest_in_rc "${manifest}")
string(REPLACE "\"" "\"\"" manifest_in_rc "${manifest_in_rc}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/setup.manifest.in ${BRANDING_DIR}/setup.manifest @ONLY)
configure_file(${CMAKE_CURRENT_LIST_DIR}/setup.rc.in ${BRANDING_DIR}/setup.rc @ONLY)
file(WRITE ${BRANDING_DIR}/check_exe.args "${check_args}")
