# Man pages tagbridge(1) and plcsim(1): each program's --help through help2man, with the
# hand-written sections of packaging/man/<program>.h2m. `make install` and the package take
# them from <build>/man.
find_program(TB_HELP2MAN help2man)
if(TB_HELP2MAN AND TARGET tagbridge AND TARGET plcsim)
    set(pages)
    foreach(program tagbridge plcsim)
        set(page ${PROJECT_BINARY_DIR}/man/${program}.1)
        set(include ${PROJECT_SOURCE_DIR}/packaging/man/${program}.h2m)
        add_custom_command(OUTPUT ${page}
            COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
            # The page's date is the build's, unless SOURCE_DATE_EPOCH fixes it.
            COMMAND ${TB_HELP2MAN} --no-info --section=1
                    --version-string=${PROJECT_VERSION} --include=${include}
                    --output=${page} $<TARGET_FILE:${program}>
            DEPENDS ${program} ${include}
            COMMENT "Man page ${program}(1)"
            VERBATIM)
        list(APPEND pages ${page})
    endforeach()
    add_custom_target(man_pages ALL DEPENDS ${pages})
else()
    message(STATUS "help2man not found: no man pages (scripts/setup.sh installs it)")
endif()
