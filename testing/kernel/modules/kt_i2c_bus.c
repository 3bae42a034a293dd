// SPDX-License-Identifier: GPL-2.0
/*
 * A simulated I2C adapter, bus 1, for the kernel-facing tests. Its transfer function
 * plays three kinds of address, as a real bus would answer them:
 *   0x50  an EEPROM of 256 bytes with an 8-bit register pointer: the first byte of a
 *         write sets the pointer, further bytes are stored from there; a read returns
 *         bytes from the pointer on. Both advance it and wrap from 0xff to 0x00.
 *   0x3c  a write-only device: it takes writes (and drops them) and NAKs every read.
 *   other addresses: nobody answers.
 * A NAK ends the transfer with -ENXIO, as adapter drivers report an address NAK.
 * The i2c core holds the bus lock around each transfer, so the state needs no lock.
 */
#include <linux/i2c.h>
#include <linux/module.h>
#include <linux/string.h>

#define KT_EEPROM_ADDR 0x50
#define KT_WRITE_ONLY_ADDR 0x3c

static u8 eeprom[256];
static u8 eeprom_pointer;

static void kt_eeprom_message(struct i2c_msg *msg)
{
	u16 i;

	if (msg->flags & I2C_M_RD) {
		for (i = 0; i < msg->len; i++)
			msg->buf[i] = eeprom[eeprom_pointer++];
		return;
	}
	/* A write without bytes only probes the address. */
	if (msg->len == 0)
		return;
	eeprom_pointer = msg->buf[0];
	for (i = 1; i < msg->len; i++)
		eeprom[eeprom_pointer++] = msg->buf[i];
}

static int kt_i2c_xfer(struct i2c_adapter *adap, struct i2c_msg *msgs, int num)
{
	int i;

	for (i = 0; i < num; i++) {
		struct i2c_msg *msg = &msgs[i];

		if (msg->flags & I2C_M_TEN)
			return -EOPNOTSUPP;
		if (msg->addr == KT_EEPROM_ADDR)
			kt_eeprom_message(msg);
		else if (msg->addr != KT_WRITE_ONLY_ADDR || (msg->flags & I2C_M_RD))
			return -ENXIO;
	}
	return num;
}

/*
 * Plain I2C, plus the SMBus calls the core emulates on top of it, so that the usual
 * tools can scan and poke the bus by hand inside the guest.
 */
static u32 kt_i2c_func(struct i2c_adapter *adap)
{
	return I2C_FUNC_I2C | I2C_FUNC_SMBUS_EMUL;
}

static const struct i2c_algorithm kt_i2c_algo = {
	.master_xfer = kt_i2c_xfer,
	.functionality = kt_i2c_func,
};

static struct i2c_adapter kt_adapter = {
	.owner = THIS_MODULE,
	.algo = &kt_i2c_algo,
	.nr = 1,
	.name = "kt simulated i2c bus",
};

static int __init kt_i2c_bus_init(void)
{
	memset(eeprom, 0xff, sizeof(eeprom));
	return i2c_add_numbered_adapter(&kt_adapter);
}

static void __exit kt_i2c_bus_exit(void)
{
	i2c_del_adapter(&kt_adapter);
}

module_init(kt_i2c_bus_init);
module_exit(kt_i2c_bus_exit);
MODULE_DESCRIPTION("Simulated I2C adapter for the kernel-facing tests");
MODULE_LICENSE("GPL");
