"""The toolkit's tools: the extension modules ``_norvek`` and ``_quedrin`` and their proxies."""
