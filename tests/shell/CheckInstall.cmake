# Installs the build into a fresh folder and checks what a desktop needs to list the program,
# what a software centre needs to describe it, the manual pages and the package's documents:
#   cmake -DBUILD_DIR=... -DPREFIX=... -DVERSION=... -P CheckInstall.cmake
cmake_minimum_required(VERSION 3.25)
if(NOT BUILD_DIR OR NOT PREFIX OR NOT VERSION)
    message(FATAL_ERROR "BUILD_DIR, PREFIX and VERSION are required")
endif()
file(REMOVE_RECURSE ${PREFIX})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${PREFIX}
                RESULT_VARIABLE result OUTPUT_QUIET)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "cmake --install failed: ${result}")
endif()

set(errors "")
foreach(program tapestrix tapestrix-compose)
    if(NOT EXISTS ${PREFIX}/bin/${program})
        list(APPEND errors "bin/${program} is missing")
    endif()
endforeach()

# Runs `program` with the arguments after it and the file, when it is installed; its complaints
# become errors.
function(validate file program)
    find_program(validator_${program} ${program})
    if(validator_${program})
        execute_process(COMMAND ${validator_${program}} ${ARGN} ${file} RESULT_VARIABLE valid
                        OUTPUT_VARIABLE out ERROR_VARIABLE out)
        if(NOT valid EQUAL 0)
            set(errors ${errors} "${program} ${file}: ${out}" PARENT_SCOPE)
        endif()
    endif()
endfunction()

set(id org.example.Tapestrix)
set(entry ${PREFIX}/share/applications/${id}.desktop)
if(NOT EXISTS ${entry})
    list(APPEND errors "the desktop entry is missing")
else()
    file(STRINGS ${entry} lines)
    foreach(wanted "[Desktop Entry]" "Type=Application" "Name=Tapestrix" "Exec=tapestrix"
                   "Icon=tapestrix" "Actions=change-now;show;" "[Desktop Action change-now]"
                   "Name=Change background now" "Exec=tapestrix --change-now"
                   "[Desktop Action show]" "Name=Show main window" "Exec=tapestrix --show")
        if(NOT wanted IN_LIST lines)
            list(APPEND errors "desktop entry lacks '${wanted}'")
        endif()
    endforeach()
    set(utility FALSE)
    foreach(line IN LISTS lines)
        if(line MATCHES "^Categories=(.*;)?Utility;")
            set(utility TRUE)
        endif()
    endforeach()
    if(NOT utility)
        list(APPEND errors "desktop entry is not in the Utility category")
    endif()
    validate(${entry} desktop-file-validate)
endif()

set(metainfo ${PREFIX}/share/metainfo/${id}.metainfo.xml)
if(NOT EXISTS ${metainfo})
    list(APPEND errors "the AppStream file is missing")
else()
    file(READ ${metainfo} text)
    foreach(wanted "<id>${id}</id>" "<launchable type=\"desktop-id\">${id}.desktop</launchable>"
                   "<binary>tapestrix</binary>" "<binary>tapestrix-compose</binary>"
                   "<content_rating type=\"oars-1.1\"" "<screenshot type=\"default\">")
        string(FIND "${text}" "${wanted}" at)
        if(at EQUAL -1)
            list(APPEND errors "the AppStream file lacks ${wanted}")
        endif()
    endforeach()
    # The newest release comes first and is this version.
    string(REGEX MATCH "<release version=\"([^\"]*)\"" _ "${text}")
    if(NOT CMAKE_MATCH_1 STREQUAL VERSION)
        list(APPEND errors "the newest AppStream release is '${CMAKE_MATCH_1}', not ${VERSION}")
    endif()
    validate(${metainfo} appstreamcli validate --no-net)
endif()

foreach(page tapestrix tapestrix-compose)
    set(man ${PREFIX}/share/man/man1/${page}.1.gz)
    if(NOT EXISTS ${man})
        list(APPEND errors "the manual page ${page}(1) is missing")
        continue()
    endif()
    # What lintian asks of a manual page: no warnings from man.
    find_program(MAN man)
    if(MAN)
        execute_process(COMMAND ${CMAKE_COMMAND} -E env LC_ALL=C.UTF-8 MANROFFSEQ= MANWIDTH=80
                                ${MAN} --warnings -E UTF-8 -l -Tutf8 -Z ${man}
                        RESULT_VARIABLE status OUTPUT_QUIET ERROR_VARIABLE warnings)
        if(NOT status EQUAL 0 OR warnings)
            list(APPEND errors "man --warnings ${page}(1): ${status} ${warnings}")
        endif()
    endif()
endforeach()

set(doc ${PREFIX}/share/doc/tapestrix)
if(NOT EXISTS ${doc}/copyright OR NOT EXISTS ${doc}/changelog.gz)
    list(APPEND errors "copyright or changelog.gz is missing from ${doc}")
else()
    execute_process(COMMAND gzip -dc ${doc}/changelog.gz OUTPUT_VARIABLE changelog)
    string(REGEX MATCH "^[^\n]*" first "${changelog}")
    if(NOT first MATCHES "^tapestrix \\(${VERSION}\\) ")
        list(APPEND errors "the change log begins with '${first}', not version ${VERSION}")
    endif()
endif()

set(hicolor ${PREFIX}/share/icons/hicolor)
if(NOT EXISTS ${hicolor}/scalable/apps/tapestrix.svg)
    list(APPEND errors "no scalable icon")
endif()
file(GLOB pngs ${hicolor}/*x*/apps/tapestrix.png)
list(LENGTH pngs count)
if(count LESS 3)
    list(APPEND errors "only ${count} icon sizes as PNG")
endif()
foreach(png IN LISTS pngs)
    # The folder's size is the picture's size.
    string(REGEX MATCH "/([0-9]+)x([0-9]+)/apps/" _ ${png})
    file(READ ${png} header OFFSET 16 LIMIT 8 HEX)
    string(SUBSTRING "${header}" 0 8 w)
    math(EXPR w "0x${w}")
    if(NOT w EQUAL CMAKE_MATCH_1)
        list(APPEND errors "${png} is ${w} pixels wide")
    endif()
endforeach()

# The SVG renderer is the toolkit's own program: in libexec, not on the PATH, and found there by
# the installed composer.
set(renderer ${PREFIX}/libexec/tapestrix/tapestrix-svg-render)
if(NOT EXISTS ${renderer} OR EXISTS ${PREFIX}/bin/tapestrix-svg-render)
    list(APPEND errors "the SVG renderer is not (only) in libexec/tapestrix")
else()
    file(WRITE ${PREFIX}/drawing.svg "<svg xmlns='http://www.w3.org/2000/svg' width='8' "
                                     "height='6'><rect width='8' height='6' fill='red'/></svg>")
    execute_process(COMMAND ${CMAKE_COMMAND} -E env QT_QPA_PLATFORM=offscreen
                            --unset=TAPESTRIX_SVG_RENDER ${PREFIX}/bin/tapestrix-compose --quiet
                            --size 40x30 --foreground ${PREFIX}/drawing.svg
                            --output ${PREFIX}/drawing.bmp
                    RESULT_VARIABLE drawn ERROR_VARIABLE out)
    if(NOT drawn EQUAL 0 OR NOT EXISTS ${PREFIX}/drawing.bmp)
        list(APPEND errors "the installed composer cannot draw an SVG picture: ${out}")
    endif()
endif()

if(errors)
    list(JOIN errors "\n  " text)
    message(FATAL_ERROR "installation incomplete:\n  ${text}")
endif()
message(STATUS "installed layout complete: ${count} PNG sizes")
