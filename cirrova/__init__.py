"""cirrova: one Python interface over four object-storage services.

Import a client module and construct its client::

    from cirrova.korvex import KorvexClient     # AWS object-storage protocol
    from cirrova.dramlet import DramletFileClient  # UFile
    from cirrova.pelorin import PelorinOSSClient   # OSS
    from cirrova.bellwyn import BellwynClient      # COS
"""

__version__ = "0.1.0"
