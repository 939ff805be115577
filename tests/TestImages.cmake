# The committed images, unpacked into the build tree.
set(QUENLAR_IMAGE_DIR ${CMAKE_CURRENT_BINARY_DIR}/images)
set(images)
foreach(name ntfs ntfs-reformatted ntfs-packed-512 ntfs-packed-4k ntfs-1k-on-4k ntfs-4k-on-1k fat32 exfat
    ntfs-overwritten fat32-overwritten exfat-overwritten ntfs-reformat-overwritten fat32-formatted exfat-formatted
    gpt-lost mbr-lost repartitioned fat32-carved exfat-carved ntfs-carved)
  set(img ${QUENLAR_IMAGE_DIR}/${name}.img)
  add_custom_command(OUTPUT ${img}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${QUENLAR_IMAGE_DIR}
    COMMAND sh -c "xz -dc \"$0\" > \"$1\"" ${CMAKE_CURRENT_SOURCE_DIR}/images/${name}.img.xz ${img}
    DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/images/${name}.img.xz
    COMMENT "Unpacking test image ${name}.img"
    VERBATIM)
  list(APPEND images ${img})
endforeach()
add_custom_target(test_images ALL DEPENDS ${images})
