# fuzz targets: below
