# A distribution's own identity for the program: the icon Explorer shows and
# the version information of its Properties and of Task Manager. Included by
# the Windows build; sets LAUNCHER_RESOURCES to the resource script to compile
# into the program, or leaves it empty when nothing is asked for, so that the
# unbranded program stays what it always was: no resources at all.
#
# Never a manifest, whatever is asked: an unmanifested program is what keeps
# Windows 8.1, 10 and 11 reporting 6.2 to it.

set(LAUNCHER_ICON "" CACHE FILEPATH "Icon (.ico) the program shows in Explorer")
set(LAUNCHER_VERSION "" CACHE STRING "File and product version, four numbers a.b.c.d of at most 65535")
set(LAUNCHER_PRODUCT "" CACHE STRING "Product name in the version information")
set(LAUNCHER_COMPANY "" CACHE STRING "Company name in the version information")
set(LAUNCHER_DESCRIPTION "" CACHE STRING "File description (Task Manager shows it as the program's name)")
set(LAUNCHER_COPYRIGHT "" CACHE STRING "Legal copyright in the version information")

set(LAUNCHER_RESOURCES "")

# Bad input stops the configure step before anything is generated, with one
# line naming the variable. The leading space keeps CMake from re-wrapping
# the line (it leaves indented text as it is).
function(launcher_branding_refuse variable text)
    message(FATAL_ERROR " ${variable}: ${text}")
endfunction()

# A little-endian number of `bytes` bytes at `offset` of a hex dump.
function(launcher_branding_le hex offset bytes out)
    set(value "")
    math(EXPR last "${bytes} - 1")
    foreach(i RANGE ${last})
        math(EXPR at "(${offset} + ${i}) * 2")
        string(SUBSTRING "${hex}" ${at} 2 byte)
        set(value "${byte}${value}")
    endforeach()
    math(EXPR value "0x${value}")
    set(${out} ${value} PARENT_SCOPE)
endfunction()

# windres would take many broken files, or fail late with a message about
# the resource script; the icon is checked here instead: an icon directory
# whose every image lies within the file and is either a DIB (what every
# Windows reads) or a PNG (what only Vista and later read).
function(launcher_branding_check_icon icon)
    set(not_ico "${icon} is not an .ico file")
    if(NOT EXISTS "${icon}")
        launcher_branding_refuse(LAUNCHER_ICON "${icon} does not exist")
    endif()
    if(IS_DIRECTORY "${icon}")
        launcher_branding_refuse(LAUNCHER_ICON "${icon} is a folder, not an .ico file")
    endif()
    # file(READ) would end the configure step with a message of its own.
    execute_process(COMMAND "${CMAKE_COMMAND}" -E md5sum "${icon}"
                    RESULT_VARIABLE unreadable OUTPUT_QUIET ERROR_QUIET)
    if(unreadable)
        launcher_branding_refuse(LAUNCHER_ICON "${icon} cannot be read")
    endif()
    file(SIZE "${icon}" size)
    if(size LESS 22)
        launcher_branding_refuse(LAUNCHER_ICON "${not_ico} (too short for an icon directory)")
    endif()
    file(READ "${icon}" header LIMIT 6 HEX)
    launcher_branding_le("${header}" 0 2 reserved)
    launcher_branding_le("${header}" 2 2 type)
    launcher_branding_le("${header}" 4 2 count)
    if(NOT reserved EQUAL 0 OR NOT type EQUAL 1 OR count EQUAL 0)
        launcher_branding_refuse(LAUNCHER_ICON "${not_ico} (no icon directory at its start)")
    endif()
    math(EXPR directory_end "6 + 16 * ${count}")
    if(directory_end GREATER size)
        launcher_branding_refuse(LAUNCHER_ICON "${not_ico} (its directory lists ${count} images but the file ends first)")
    endif()
    set(dibs 0)
    math(EXPR last "${count} - 1")
    foreach(i RANGE ${last})
        math(EXPR entry_at "6 + 16 * ${i}")
        file(READ "${icon}" entry OFFSET ${entry_at} LIMIT 16 HEX)
        launcher_branding_le("${entry}" 8 4 image_size)
        launcher_branding_le("${entry}" 12 4 image_at)
        math(EXPR image_end "${image_at} + ${image_size}")
        if(image_size LESS 8 OR image_at LESS directory_end OR image_end GREATER size)
            launcher_branding_refuse(LAUNCHER_ICON "${not_ico} (image ${i} lies outside the file)")
        endif()
        file(READ "${icon}" image OFFSET ${image_at} LIMIT 8 HEX)
        string(TOLOWER "${image}" image)
        if(image STREQUAL "89504e470d0a1a0a")
            continue()
        endif()
        launcher_branding_le("${image}" 0 4 dib_header)
        if(NOT dib_header EQUAL 40)
            launcher_branding_refuse(LAUNCHER_ICON "${not_ico} (image ${i} is neither a bitmap nor a PNG)")
        endif()
        math(EXPR dibs "${dibs} + 1")
    endforeach()
    if(dibs EQUAL 0)
        message(WARNING " LAUNCHER_ICON: every image in ${icon} is PNG-compressed; "
                "Windows XP and older will show no icon (add a bitmap image, 32 or 48 pixels)")
    endif()
endfunction()

# Sets `out` to the version's four numbers without leading zeros, separated
# by `;`, or refuses it.
function(launcher_branding_check_version version out)
    set(bad "\"${version}\" is not a version: four numbers of at most 65535, as in 1.2.0.15")
    if(NOT version MATCHES "^[0-9]+\\.[0-9]+\\.[0-9]+\\.[0-9]+$")
        launcher_branding_refuse(LAUNCHER_VERSION "${bad}")
    endif()
    string(REPLACE "." ";" parts "${version}")
    set(numbers "")
    foreach(part IN LISTS parts)
        # math() would overflow, or read a leading 0 some other way, before
        # the comparison could refuse the number.
        string(REGEX REPLACE "^0+([0-9])" "\\1" part "${part}")
        string(LENGTH "${part}" digits)
        if(digits GREATER 5 OR part GREATER 65535)
            launcher_branding_refuse(LAUNCHER_VERSION "${bad}")
        endif()
        list(APPEND numbers ${part})
    endforeach()
    set(${out} "${numbers}" PARENT_SCOPE)
endfunction()

# A string as the resource compiler reads it between double quotes.
function(launcher_branding_quote text out)
    string(REPLACE "\\" "\\\\" text "${text}")
    string(REPLACE "\"" "\"\"" text "${text}")
    set(${out} "\"${text}\"" PARENT_SCOPE)
endfunction()

set(_strings
    CompanyName LAUNCHER_COMPANY
    FileDescription LAUNCHER_DESCRIPTION
    LegalCopyright LAUNCHER_COPYRIGHT
    ProductName LAUNCHER_PRODUCT)
set(_branded OFF)
foreach(variable LAUNCHER_ICON LAUNCHER_VERSION LAUNCHER_PRODUCT LAUNCHER_COMPANY
                 LAUNCHER_DESCRIPTION LAUNCHER_COPYRIGHT)
    if(NOT "${${variable}}" STREQUAL "")
        set(_branded ON)
    endif()
    # A line break would end up in the resource script as a broken string.
    if("${${variable}}" MATCHES "[\n\r\t]")
        launcher_branding_refuse(${variable} "holds a line break or a tab")
    endif()
endforeach()

if(_branded)
    set(LAUNCHER_RC_HAS_ICON 0)
    set(LAUNCHER_RC_ICON "\"\"")
    if(NOT LAUNCHER_ICON STREQUAL "")
        get_filename_component(_icon "${LAUNCHER_ICON}" ABSOLUTE BASE_DIR "${PROJECT_SOURCE_DIR}")
        launcher_branding_check_icon("${_icon}")
        set(LAUNCHER_RC_HAS_ICON 1)
        launcher_branding_quote("${_icon}" LAUNCHER_RC_ICON)
        # Checked again, and compiled again, whenever the icon changes.
        set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${_icon}")
    endif()

    set(LAUNCHER_RC_HAS_VERSIONINFO 0)
    set(LAUNCHER_RC_VERSION "0,0,0,0")
    set(LAUNCHER_RC_STRINGS "")
    if(NOT LAUNCHER_VERSION STREQUAL "")
        launcher_branding_check_version("${LAUNCHER_VERSION}" _numbers)
        set(LAUNCHER_RC_HAS_VERSIONINFO 1)
        string(REPLACE ";" "," LAUNCHER_RC_VERSION "${_numbers}")
        string(REPLACE ";" "." _dotted "${_numbers}")
        string(APPEND LAUNCHER_RC_STRINGS
            "            VALUE \"FileVersion\", \"${_dotted}\"\n"
            "            VALUE \"ProductVersion\", \"${_dotted}\"\n")
    endif()
    while(_strings)
        list(POP_FRONT _strings _key _variable)
        if(NOT "${${_variable}}" STREQUAL "")
            set(LAUNCHER_RC_HAS_VERSIONINFO 1)
            launcher_branding_quote("${${_variable}}" _quoted)
            string(APPEND LAUNCHER_RC_STRINGS "            VALUE \"${_key}\", ${_quoted}\n")
        endif()
    endwhile()

    enable_language(RC)
    set(LAUNCHER_RESOURCES "${PROJECT_BINARY_DIR}/launcher.rc")
    configure_file("${PROJECT_SOURCE_DIR}/launcher/launcher.rc.in" "${LAUNCHER_RESOURCES}" @ONLY)
    if(LAUNCHER_RC_HAS_ICON)
        set_source_files_properties("${LAUNCHER_RESOURCES}" PROPERTIES OBJECT_DEPENDS "${_icon}")
    endif()
endif()
