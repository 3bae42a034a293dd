// SPDX-License-Identifier: GPL-2.0
// The stream device as the instrument's kernel exposes it, for tests on an emulated board:
// a UIO device named "kt_axis" with two maps. Map 0 is one zeroed page standing for the
// engine's register window; map 1 is a physically contiguous region from CMA that the
// simulated engine fills with frames. Both are physical maps, so user space maps them
// uncached through the UIO driver, as it maps the real hardware.
#include <linux/dma-mapping.h>
#include <linux/gfp.h>
#include <linux/io.h>
#include <linux/module.h>
#include <linux/platform_device.h>
#include <linux/uio_driver.h>

static unsigned int mem_size = 32 << 20;
module_param(mem_size, uint, 0444);
MODULE_PARM_DESC(mem_size, "bytes of the CMA region behind map 1");

struct kt_axis_dev {
	struct uio_info info;
	unsigned long regs_page;
	void *mem;
	dma_addr_t mem_dma;
};

static struct platform_device *kt_axis_pdev;

static int kt_axis_probe(struct platform_device *pdev)
{
	struct kt_axis_dev *d;
	int ret;

	d = devm_kzalloc(&pdev->dev, sizeof(*d), GFP_KERNEL);
	if (!d)
		return -ENOMEM;
	ret = dma_coerce_mask_and_coherent(&pdev->dev, DMA_BIT_MASK(32));
	if (ret)
		return ret;
	d->regs_page = get_zeroed_page(GFP_KERNEL);
	if (!d->regs_page)
		return -ENOMEM;
	d->mem = dma_alloc_coherent(&pdev->dev, mem_size, &d->mem_dma, GFP_KERNEL);
	if (!d->mem) {
		free_page(d->regs_page);
		return -ENOMEM;
	}

	d->info.name = "kt_axis";
	d->info.version = "1.0";
	d->info.irq = UIO_IRQ_NONE;
	d->info.mem[0].name = "registers";
	d->info.mem[0].addr = virt_to_phys((void *)d->regs_page);
	d->info.mem[0].size = PAGE_SIZE;
	d->info.mem[0].memtype = UIO_MEM_PHYS;
	d->info.mem[1].name = "cma";
	d->info.mem[1].addr = d->mem_dma;
	d->info.mem[1].size = mem_size;
	d->info.mem[1].memtype = UIO_MEM_PHYS;

	ret = uio_register_device(&pdev->dev, &d->info);
	if (ret) {
		dma_free_coherent(&pdev->dev, mem_size, d->mem, d->mem_dma);
		free_page(d->regs_page);
		return ret;
	}
	platform_set_drvdata(pdev, d);
	return 0;
}

static int kt_axis_remove(struct platform_device *pdev)
{
	struct kt_axis_dev *d = platform_get_drvdata(pdev);

	uio_unregister_device(&d->info);
	dma_free_coherent(&pdev->dev, mem_size, d->mem, d->mem_dma);
	free_page(d->regs_page);
	return 0;
}

static struct platform_driver kt_axis_driver = {
	.probe = kt_axis_probe,
	.remove = kt_axis_remove,
	.driver = { .name = "kt-axis" },
};

static int __init kt_axis_init(void)
{
	int ret = platform_driver_register(&kt_axis_driver);

	if (ret)
		return ret;
	kt_axis_pdev = platform_device_register_simple("kt-axis", -1, NULL, 0);
	if (IS_ERR(kt_axis_pdev)) {
		platform_driver_unregister(&kt_axis_driver);
		return PTR_ERR(kt_axis_pdev);
	}
	return 0;
}

static void __exit kt_axis_exit(void)
{
	platform_device_unregister(kt_axis_pdev);
	platform_driver_unregister(&kt_axis_driver);
}

module_init(kt_axis_init);
module_exit(kt_axis_exit);
MODULE_DESCRIPTION("Stand-in UIO stream device for tests on an emulated board");
MODULE_LICENSE("GPL");
