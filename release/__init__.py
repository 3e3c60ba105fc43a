"""The release and its checks: package.py makes the ZIP, pecheck.py checks the images."""
