# Installs the packaging template `template` (packaging/*.in) as `name` in
# `destination`, configured when it is installed, so that the programs' paths
# in it hold the prefix given to `cmake --install --prefix`, not the one the
# build was configured with.
function(vk_install_packaging_file template name destination)
  set(output ${CMAKE_CURRENT_BINARY_DIR}/packaging/${name})
  install(CODE "
    set(sbin \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_SBINDIR}\")
    set(VKBVD_SERVICE_PROGRAM \"\${sbin}/vkbvd-service\")
    set(VKVD_PROGRAM \"\${sbin}/vkvd\")
    set(VKBVD_SYSTEMD_SERVICE \"SystemdService=vkbvd-service.service\")
    configure_file(\"${template}\" \"${output}\" @ONLY)")
  install(FILES ${output} DESTINATION ${destination})
endfunction()
