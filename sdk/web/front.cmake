# The HTTP front and its embedded console, part of strata_sdk.
# Included from sdk/CMakeLists.txt after the strata_sdk target is defined.
set(TB_WEB_FILES
    ${CMAKE_CURRENT_LIST_DIR}/index.html
    ${CMAKE_CURRENT_LIST_DIR}/trend.js
    ${CMAKE_CURRENT_LIST_DIR}/app.js
    ${CMAKE_CURRENT_LIST_DIR}/style.css)
# uPlot draws the console's trends: scripts/setup.sh installs it from npm into sdk/web/vendor
# (version pinned there); the build only embeds it, like the files above, and downloads nothing.
set(TB_UPLOT_DIST ${CMAKE_CURRENT_LIST_DIR}/vendor/node_modules/uplot/dist)
if(EXISTS ${TB_UPLOT_DIST}/uPlot.iife.min.js)
    list(APPEND TB_WEB_FILES ${TB_UPLOT_DIST}/uPlot.iife.min.js ${TB_UPLOT_DIST}/uPlot.min.css)
else()
    message(WARNING "uPlot is not installed in sdk/web/vendor (run scripts/setup.sh): "
                    "the console will show no charts")
endif()
set(TB_WEB_HEADER ${CMAKE_CURRENT_BINARY_DIR}/generated/strata_sdk_web_assets.h)
add_custom_command(
    OUTPUT ${TB_WEB_HEADER}
    COMMAND ${CMAKE_COMMAND} -DOUTPUT=${TB_WEB_HEADER} "-DINPUTS=${TB_WEB_FILES}"
            -P ${CMAKE_CURRENT_LIST_DIR}/embed_web.cmake
    DEPENDS ${TB_WEB_FILES} ${CMAKE_CURRENT_LIST_DIR}/embed_web.cmake
    COMMENT "Embedding the console (sdk/web) into the binary"
    VERBATIM)
target_sources(strata_sdk PRIVATE ${CMAKE_CURRENT_LIST_DIR}/../http_front.cpp ${TB_WEB_HEADER})
target_include_directories(strata_sdk PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/generated)
# The front sets the TLS suites on the library's OpenSSL context itself.
find_package(OpenSSL REQUIRED)
target_link_libraries(strata_sdk PUBLIC PkgConfig::HTTPLIB OpenSSL::SSL)
# sdk sources reach the front as "http_front.h".
target_include_directories(strata_sdk PRIVATE ${CMAKE_CURRENT_LIST_DIR}/..)
