"""lumeq-preview: a script's outputs in the browser, reloaded when the script is saved."""
