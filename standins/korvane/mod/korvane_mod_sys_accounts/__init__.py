"""The accounts mod: how strategies see positions."""
