// (written below)
