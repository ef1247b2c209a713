// SPDX-License-Identifier: GPL-2.0
/*
 * The box's vendor drivers publish /proc/stb/... and /proc/bus/nim_sockets.
 * In the test guest these are links to ordinary files the lane writes, so
 * the program under test finds its driver files where the box has them.
 */
#include <linux/module.h>
#include <linux/proc_fs.h>

static struct proc_dir_entry *stb, *nim;

static int __init stb_proc_init(void)
{
	stb = proc_symlink("stb", NULL, "/var/stb");
	nim = proc_symlink("bus/nim_sockets", NULL, "/var/nim_sockets");
	if (!stb || !nim) {
		proc_remove(nim);
		proc_remove(stb);
		return -ENOMEM;
	}
	return 0;
}

static void __exit stb_proc_exit(void)
{
	proc_remove(nim);
	proc_remove(stb);
}

module_init(stb_proc_init);
module_exit(stb_proc_exit);
MODULE_DESCRIPTION("/proc/stb and /proc/bus/nim_sockets as links to ordinary files");
MODULE_LICENSE("GPL");
