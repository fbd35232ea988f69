# The inspector qmzinfo, the public library qmz::codec (include/qmz/codec.h
# over the encoder and decoder libraries), and the install rules: programs in
# bin/, man pages, the front-end's desktop entry and icon, the library with
# its header and a CMake package (find_package(qmz) -> qmz::codec).
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

add_executable(qmzinfo ${PROJECT_SOURCE_DIR}/tools/qmzinfo_main.cpp)
target_link_libraries(qmzinfo PRIVATE qmz_decoder qmz_io)

file(GLOB qmz_api_sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/api/*.cpp)
add_library(qmz_codec STATIC ${qmz_api_sources})
target_include_directories(qmz_codec
    PUBLIC $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include> $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>
    PRIVATE ${PROJECT_SOURCE_DIR})
target_link_libraries(qmz_codec PRIVATE qmz_encoder qmz_decoder qmz_io)
target_compile_features(qmz_codec INTERFACE cxx_std_17)
set_target_properties(qmz_codec PROPERTIES EXPORT_NAME codec OUTPUT_NAME qmz)
add_library(qmz::codec ALIAS qmz_codec)

# Man pages are checked by man itself (skipped where man is not installed).
set(qmz_man_pages qmzenc qmzdec qmzinfo qmzfront)
if(QMZ_BUILD_TESTS AND NOT QMZ_FUZZ)
    set(qmz_man_files "")
    foreach(page ${qmz_man_pages})
        list(APPEND qmz_man_files ${PROJECT_SOURCE_DIR}/man/${page}.1)
    endforeach()
    add_test(NAME man_pages COMMAND sh ${PROJECT_SOURCE_DIR}/cmake/check_man_pages.sh ${qmz_man_files})
    set_tests_properties(man_pages PROPERTIES SKIP_RETURN_CODE 77)
endif()

install(TARGETS qmzenc qmzdec qmzinfo RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
foreach(page qmzenc qmzdec qmzinfo)
    install(FILES man/${page}.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()

install(TARGETS qmz_codec qmz_encoder qmz_decoder qmz_io qmz_common EXPORT qmzTargets
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES include/qmz/codec.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/qmz)
set(qmz_package_dir ${CMAKE_INSTALL_LIBDIR}/cmake/qmz)
install(EXPORT qmzTargets NAMESPACE qmz:: DESTINATION ${qmz_package_dir})
configure_package_config_file(cmake/qmzConfig.cmake.in
    ${CMAKE_CURRENT_BINARY_DIR}/qmzConfig.cmake INSTALL_DESTINATION ${qmz_package_dir})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/qmzConfigVersion.cmake
    COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/qmzConfig.cmake
    ${CMAKE_CURRENT_BINARY_DIR}/qmzConfigVersion.cmake DESTINATION ${qmz_package_dir})

# The front-end (built only where Qt is found) with its man page, desktop
# entry and icon.
if(TARGET qmzfront)
    install(TARGETS qmzfront RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    install(FILES man/qmzfront.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    install(FILES frontend/qmzfront.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
    install(FILES frontend/qmzfront.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
endif()
