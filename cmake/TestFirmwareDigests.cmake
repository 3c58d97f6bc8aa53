# SHA-256 of each image that tools/firmware-gen makes. A build with
# ZARVIK_FIRMWARE_DIR counts as a release and sends its images to any unit, so
# it refuses to configure with an image equal to one of these (Firmware.cmake).
# The test ReleaseGate.DigestsAreThoseOfTheGeneratedImages fails when the
# generator's output and this list part, and prints the list to put here.
set (ZARVIK_TEST_FIRMWARE_SHA256
    b322052372c4d525fdeda2d14d054c7412eae9d61488fab99647c853e0671d68 # RZ41_appap.syx
    54c4788fa1b6a4a5f813a97a2f24dc82ec69a6902be3ef861cd79df1fbe7d979 # RZ41_appga.syx
    2e4b7ce3d24f0a92c57159b75102163fedce757ffc9ce86c4a827135a59e95ff # RZ41_apptr.syx
    37edadc6272bc6c7f48310d1489e43efd223ad637bde45e982f1507e2ae21d76 # RZ41_assetsap.syx
    12849a4cb482dfe51e729ac39edeace256f3556aa11dc28f0112c143f81fe475 # RZ41_assetsga.syx
)
